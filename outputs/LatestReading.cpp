#include "outputs/LatestReading.h"

#include "outputs/Outputs.h"

#include "mqtt/MqttPayloads.h"
#include "output/SafeFile.h"
#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"

LatestReading::LatestReading(LoggerSession &session, const QString &path, QObject *parent)
    : QObject(parent), m_session(session), m_path(path)
{
    connect(&session.engine(), &LoggerEngine::rowStored, this,
            [this](qint64 row) { rowStored(row); });
}

QByteArray LatestReading::json(qint64 row) const
{
    const MeasurementTable &t = m_session.table();
    const QString &text = t.text(row, MeasurementTable::FieldValue);
    const std::optional<double> value = MeasurementTable::numberOf(text);
    const std::optional<QDateTime> time = t.captured(row);
    const std::optional<qint32> no = t.no(row);
    return "{\"no\":" + (no ? QByteArray::number(*no) : QByteArray("null")) +
           ",\"time\":" + (time ? Mqtt::jsonString(Mqtt::isoTime(*time)) : QByteArray("null")) +
           ",\"value\":" + (value ? QByteArray::number(*value, 'g', 15) : QByteArray("null")) +
           ",\"display\":" + Mqtt::jsonString(text.trimmed()) + ",\"unit\":" +
           Mqtt::jsonString(MeasurementTable::unitName(t.text(row, MeasurementTable::FieldUnit))) +
           "}\n";
}

void LatestReading::rowStored(qint64 row)
{
    QString reason;
    if (SafeFile::writeWhole(m_path, json(row), &reason, 0644)) {
        m_failing = false;
        return;
    }
    if (!m_failing)
        emit failed(m_path, reason);
    m_failing = true;
}

OptionEntry LatestReading::option()
{
    return {{QStringLiteral("latest")},
            "FILE",
            "keep the newest reading in FILE, replaced whole with\n"
            "each one, as JSON (for a status display)",
            OptionEntry::Where::Both,
            [](OutputOptions &o, const QString &v) { o.Latest = v; },
            "summary"};
}
