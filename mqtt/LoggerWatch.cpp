#include "mqtt/LoggerWatch.h"

#include "alarms/AlarmRules.h"
#include "mqtt/MqttLink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <unistd.h>

LoggerWatch::LoggerWatch(QObject *parent) : QObject(parent) {}

LoggerWatch::~LoggerWatch() = default;

void LoggerWatch::start(const Mqtt::Options &options, const QString &filter)
{
    stop();
    m_filter = filter.toUtf8();
    // A client id of its own, so that it never takes a logger's connection over.
    MqttLink::Config c =
        MqttLink::Config::of(options, QStringLiteral("tx9-watch-%1-%2")
                                          .arg(Mqtt::cleanId(QSysInfo::machineHostName()))
                                          .arg(::getpid()));
    c.CleanSession = true;
    m_link = std::make_unique<MqttLink>(c, this);
    connect(m_link.get(), &MqttLink::connectedChanged, this, [this](bool on) {
        if (on)
            m_link->subscribe(m_filter);
        emit connectedChanged(on);
    });
    connect(m_link.get(), &MqttLink::messageArrived, this,
            [this](const QByteArray &topic, const QByteArray &payload, bool retained) {
                message(topic, payload, retained, QDateTime::currentMSecsSinceEpoch());
            });
    m_link->start();
}

void LoggerWatch::stop()
{
    if (m_link)
        m_link->finish(-1, 1000);
    m_link.reset();
}

bool LoggerWatch::connected() const
{
    return m_link && m_link->connected();
}

QString LoggerWatch::lastError() const
{
    return m_link ? m_link->lastError() : QString();
}

int LoggerWatch::indexOf(const QString &prefix)
{
    for (size_t i = 0; i < m_loggers.size(); ++i)
        if (m_loggers[i].Prefix == prefix)
            return int(i);
    Logger l;
    l.Prefix = prefix;
    l.Id = prefix.section(QLatin1Char('/'), -1);
    l.Readings = std::make_shared<MeasurementTable>();
    m_loggers.push_back(std::move(l));
    return int(m_loggers.size() - 1);
}

void LoggerWatch::message(const QByteArray &topic, const QByteArray &payload, bool retained,
                          qint64 nowMs)
{
    const qsizetype slash = topic.lastIndexOf('/');
    if (slash <= 0)
        return;
    const QByteArray kind = topic.mid(slash + 1);
    static const QList<QByteArray> known{"reading", "state", "status", "alarm", "diagnostics"};
    if (!known.contains(kind))
        return;
    const QString prefix = QString::fromUtf8(topic.left(slash));
    if (kind == "status") {
        if (payload != "online" && payload != "offline")
            return;
        const int index = indexOf(prefix);
        m_loggers[size_t(index)].Online = payload == "online";
        emit changed(index);
        return;
    }
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    if (o.isEmpty())
        return; // not a message of a logger's (a line protocol reading, another program's)
    const int index = indexOf(prefix);
    Logger &l = m_loggers[size_t(index)];
    if (o.value(QStringLiteral("id")).isString())
        l.Id = o.value(QStringLiteral("id")).toString();
    if (kind == "reading" || kind == "state") {
        const QDateTime time =
            QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        const qint64 ms = time.isValid() ? time.toMSecsSinceEpoch() : nowMs;
        if (ms < l.ReadingMs)
            return; // the retained state after the live readings it stood for
        const QJsonValue v = o.value(QStringLiteral("value"));
        l.Value = v.isDouble() ? std::optional<double>(v.toDouble()) : std::nullopt;
        l.Display = o.value(QStringLiteral("display")).toString();
        if (l.Display.isEmpty() && l.Value)
            l.Display = QString::number(*l.Value);
        l.Unit = o.value(QStringLiteral("unit")).toString();
        const bool fresh = ms > l.ReadingMs;
        l.ReadingMs = ms;
        if (fresh) {
            const QJsonValue no = o.value(QStringLiteral("no"));
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms);
            l.Readings->appendRow({no.isDouble() ? std::optional<qint32>(no.toInt()) : std::nullopt,
                                   at.toString(QStringLiteral("HH:mm:ss")), l.Display, l.Unit, at});
            emit readingArrived(index);
        }
    } else if (kind == "alarm") {
        QStringList active;
        // Each kind by its one name (an earlier logger's "none" is "no reading").
        auto named = [](const QString &name) {
            const std::optional<AlarmKind> k = AlarmRules::kindNamed(name);
            return k ? AlarmRules::kindName(*k) : name;
        };
        const QJsonValue a = o.value(QStringLiteral("active"));
        if (a.isArray()) {
            for (const QJsonValue &k : a.toArray())
                active << named(k.toString());
        } else if (o.value(QStringLiteral("state")).toString() == QLatin1String("start")) {
            active << named(o.value(QStringLiteral("alarm")).toString()); // before "active"
        }
        const QStringList before = std::exchange(l.Alarms, active);
        l.AlarmDetail = o.value(QStringLiteral("detail")).toString();
        const QString detail = l.AlarmDetail;
        if (!retained) {
            for (const QString &k : active)
                if (!before.contains(k))
                    emit alarmChanged(index, k, true, detail);
            for (const QString &k : before)
                if (!active.contains(k))
                    emit alarmChanged(index, k, false, detail);
        }
    } else if (kind == "diagnostics") {
        if (o.contains(QStringLiteral("cable_connected")))
            l.CableConnected = o.value(QStringLiteral("cable_connected")).toBool();
        l.Disconnected = o.value(QStringLiteral("disconnected")).toBool();
        l.Outbox = quint64(o.value(QStringLiteral("outbox")).toInteger());
        if (o.value(QStringLiteral("cable")).isString())
            l.Cable = o.value(QStringLiteral("cable")).toString();
        if (o.value(QStringLiteral("interval")).isDouble())
            l.IntervalSeconds = o.value(QStringLiteral("interval")).toInt();
    }
    emit changed(index);
}

qint64 LoggerWatch::staleAfterMs(const Logger &l)
{
    return l.IntervalSeconds < 0 ? 30000 : qMax<qint64>(10000, 3000 * qint64(l.IntervalSeconds));
}

QStringList LoggerWatch::troubles(const Logger &l, qint64 nowMs)
{
    QStringList t;
    if (!l.Alarms.isEmpty())
        t << QStringLiteral("alarm: %1").arg(l.Alarms.join(QStringLiteral(", ")));
    if (l.Online == false)
        t << QStringLiteral("offline");
    if (l.Disconnected && l.CableConnected == false)
        return t; // let go on purpose: nothing is due from it (an alarm would be said above)
    if (l.CableConnected == false)
        t << QStringLiteral("cable not connected");
    if (l.ReadingMs == 0)
        t << QStringLiteral("no reading yet");
    else if (nowMs - l.ReadingMs > staleAfterMs(l))
        t << QStringLiteral("no reading for %1 s").arg((nowMs - l.ReadingMs) / 1000);
    return t;
}
