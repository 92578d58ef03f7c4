// The texts of the messages a logger publishes: the reading as JSON or as an InfluxDB line,
// the alarm event, the Home Assistant discovery config.

#include "mqtt/MqttPayloads.h"

#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Mqtt {

QByteArray jsonString(const QString &text)
{
    QByteArray out = "\"";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '"' || u == '\\') {
            out += '\\';
            out += char(u);
        } else if (u < 0x20) {
            out += "\\u00";
            out += QByteArray::number(u, 16).rightJustified(2, '0');
        } else {
            out += QString(c).toUtf8();
        }
    }
    return out + '"';
}

QString isoTime(const QDateTime &t)
{
    return QString::fromLatin1(CaptureTime::text(MeasurementTable::packTime(t)));
}

namespace {

QByteArray jsonNumber(std::optional<double> v)
{
    return v ? QByteArray::number(*v, 'g', 15) : QByteArray("null");
}

QByteArray jsonTime(const std::optional<QDateTime> &t)
{
    return t && t->isValid() ? jsonString(isoTime(*t)) : QByteArray("null");
}

} // namespace

QByteArray readingJson(const Reading &r)
{
    return "{\"seq\":" + QByteArray::number(r.Seq) +
           ",\"no\":" + (r.No ? QByteArray::number(*r.No) : QByteArray("null")) +
           ",\"time\":" + jsonTime(r.Time) + ",\"value\":" + jsonNumber(r.Value) +
           ",\"display\":" + jsonString(r.Display) + ",\"unit\":" + jsonString(r.Unit) +
           ",\"mode\":" + (r.Download ? "\"download\"" : "\"live\"") +
           ",\"id\":" + jsonString(r.Id) + '}';
}

QByteArray alarmJson(const AlarmEvent &e, const QString &unit, const QString &id,
                     const QStringList &active)
{
    // Alarms of several kinds may be on at once: the retained message says all of them, so
    // that the end of one does not read as the end of every alarm.
    QByteArray on;
    for (const QString &kind : active)
        on += (on.isEmpty() ? "" : ",") + jsonString(kind);
    return "{\"alarm\":" + jsonString(AlarmRules::kindName(e.Kind)) +
           ",\"state\":" + (e.Start ? "\"start\"" : "\"end\"") + ",\"time\":" + jsonTime(e.Time) +
           ",\"start\":" + jsonTime(e.BreachStart) + ",\"since\":" + jsonTime(e.BreachStart) +
           ",\"value\":" + jsonNumber(e.Value) + ",\"limit\":" + jsonNumber(e.Limit) +
           ",\"worst\":" + jsonNumber(e.Worst) +
           ",\"seconds\":" + QByteArray::number(e.Seconds, 'f', 3) +
           ",\"unit\":" + jsonString(unit) + ",\"detail\":" + jsonString(e.Detail) +
           ",\"active\":[" + on + "],\"id\":" + jsonString(id) + '}';
}

QByteArray alarmOffJson(const QDateTime &time, const QString &id)
{
    return "{\"alarm\":null,\"state\":\"off\",\"time\":" + jsonTime(time) +
           ",\"start\":null,\"since\":null,\"value\":null,\"limit\":null,\"worst\":null,"
           "\"seconds\":0,\"unit\":\"\",\"detail\":\"\",\"active\":[],\"id\":" +
           jsonString(id) + '}';
}

QByteArray noteJson(const NoteMessage &n)
{
    return "{\"note_id\":" + QByteArray::number(n.NoteId) + ",\"time\":" + jsonTime(n.Time) +
           ",\"seq\":" + (n.Seq ? QByteArray::number(*n.Seq) : QByteArray("null")) +
           ",\"no\":" + (n.No ? QByteArray::number(*n.No) : QByteArray("null")) +
           ",\"note\":" + jsonString(n.Text) + ",\"removed\":" + (n.Removed ? "true" : "false") +
           ",\"id\":" + jsonString(n.Id) + '}';
}

QByteArray sealJson(qint64 rows, const QByteArray &hash, const QDateTime &time, const QString &file,
                    const QString &id)
{
    return "{\"rows\":" + QByteArray::number(rows) +
           ",\"hash\":" + jsonString(QString::fromLatin1(hash)) +
           ",\"seal\":" + jsonString(QString::fromLatin1(hash) + '@' + QString::number(rows)) +
           ",\"time\":" + jsonTime(time) +
           ",\"file\":" + (file.isEmpty() ? QByteArray("null") : jsonString(file)) +
           ",\"id\":" + jsonString(id) + '}';
}

QByteArray influxLine(const Reading &r)
{
    // Tag values: commas, spaces and equals signs escaped (the id has none of them).
    QByteArray unit = r.Unit.toUtf8();
    if (r.Unit == QStringLiteral("\u00B0C"))
        unit = "C";
    else if (r.Unit == QStringLiteral("\u00B0F"))
        unit = "F";
    unit.replace(' ', "\\ ").replace(',', "\\,").replace('=', "\\=");
    QByteArray line = "tx9,id=" + r.Id.toUtf8();
    if (!unit.isEmpty())
        line += ",unit=" + unit;
    QByteArrayList fields;
    if (r.Value)
        fields << "value=" + QByteArray::number(*r.Value, 'g', 15);
    if (r.No)
        fields << "no=" + QByteArray::number(*r.No) + 'i';
    fields << "seq=" + QByteArray::number(r.Seq) + 'i';
    line += ' ' + fields.join(',');
    if (r.Time)
        line += ' ' + QByteArray::number(r.Time->toMSecsSinceEpoch() * 1000000LL);
    return line;
}

QList<Discovery> discoveryConfigs(const QString &id, const QString &prefix, const QString &unit,
                                  const QString &version, int expireSeconds)
{
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("tx9-logger-") + id}},
        {QStringLiteral("name"), QStringLiteral("TX-9 %1").arg(id)},
        {QStringLiteral("model"), QStringLiteral("TX-9")},
        {QStringLiteral("manufacturer"), QStringLiteral("Norvane")},
        {QStringLiteral("sw_version"), version},
    };
    // What every entity of the logger shares: its device, and the logger's own availability.
    auto entity = [&](const QString &object, const QString &name, QJsonObject config) {
        config.insert(QStringLiteral("name"), name);
        config.insert(QStringLiteral("unique_id"),
                      QStringLiteral("tx9-logger-%1-%2").arg(id, object));
        config.insert(QStringLiteral("availability_topic"), prefix + QStringLiteral("/status"));
        config.insert(QStringLiteral("payload_available"), QStringLiteral("online"));
        config.insert(QStringLiteral("payload_not_available"), QStringLiteral("offline"));
        config.insert(QStringLiteral("device"), device);
        return QJsonDocument(config).toJson(QJsonDocument::Compact);
    };
    const QString diagnostics = prefix + QStringLiteral("/diagnostics");
    const QByteArray object = id.toUtf8();
    return {
        {"sensor/" + object + "/temperature",
         entity(QStringLiteral("temperature"), QStringLiteral("Temperature"),
                {{QStringLiteral("state_topic"), prefix + QStringLiteral("/state")},
                 {QStringLiteral("value_template"), QStringLiteral("{{ value_json.value }}")},
                 {QStringLiteral("device_class"), QStringLiteral("temperature")},
                 {QStringLiteral("state_class"), QStringLiteral("measurement")},
                 {QStringLiteral("unit_of_measurement"), unit},
                 // A meter that falls silent while the logger runs shows as unavailable,
                 // not as its last reading.
                 {QStringLiteral("expire_after"), expireSeconds}})},
        {"binary_sensor/" + object + "/alarm",
         entity(QStringLiteral("alarm"), QStringLiteral("Alarm"),
                {{QStringLiteral("state_topic"), prefix + QStringLiteral("/alarm")},
                 {QStringLiteral("value_template"),
                  QStringLiteral("{{ 'ON' if value_json.active | length > 0 else 'OFF' }}")},
                 {QStringLiteral("device_class"), QStringLiteral("problem")},
                 {QStringLiteral("json_attributes_topic"), prefix + QStringLiteral("/alarm")},
                 {QStringLiteral("json_attributes_template"),
                  QStringLiteral("{{ {'kind': value_json.alarm, 'since': value_json.start, "
                                 "'value': value_json.value, 'limit': value_json.limit, "
                                 "'unit': value_json.unit, 'active': value_json.active, "
                                 "'detail': value_json.detail} | tojson }}")}})},
        {"binary_sensor/" + object + "/cable",
         entity(QStringLiteral("cable"), QStringLiteral("Cable"),
                {{QStringLiteral("state_topic"), diagnostics},
                 {QStringLiteral("value_template"),
                  QStringLiteral("{{ 'ON' if value_json.cable_connected else 'OFF' }}")},
                 {QStringLiteral("device_class"), QStringLiteral("connectivity")},
                 {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}})},
        {"sensor/" + object + "/outbox",
         entity(QStringLiteral("outbox"), QStringLiteral("Outbox"),
                {{QStringLiteral("state_topic"), diagnostics},
                 {QStringLiteral("value_template"), QStringLiteral("{{ value_json.outbox }}")},
                 {QStringLiteral("unit_of_measurement"), QStringLiteral("messages")},
                 {QStringLiteral("state_class"), QStringLiteral("measurement")},
                 {QStringLiteral("entity_category"), QStringLiteral("diagnostic")}})},
    };
}

QByteArray diagnosticsJson(bool cableConnected, quint64 outbox, const QString &id,
                           const QString &cable, int intervalSeconds, bool letGo)
{
    return "{\"cable_connected\":" + QByteArray(cableConnected ? "true" : "false") +
           ",\"outbox\":" + QByteArray::number(outbox) + ",\"id\":" + jsonString(id) +
           ",\"cable\":" + jsonString(cable) +
           ",\"interval\":" + QByteArray::number(intervalSeconds) +
           ",\"disconnected\":" + (!cableConnected && letGo ? "true" : "false") + '}';
}

} // namespace Mqtt
