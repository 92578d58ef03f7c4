#include "alarms/AlarmMonitor.h"

#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"

AlarmMonitor::AlarmMonitor(LoggerSession &session, QObject *parent)
    : QObject(parent), m_session(session)
{
    connect(&session, &LoggerSession::rowStored, this, &AlarmMonitor::rowStored);
    // An emptied table numbers its texts anew.
    connect(&session.table(), &QAbstractItemModel::modelReset, this, [this] {
        m_values.clear();
        m_unitId = NoId;
    });
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this,
            [this] { say(m_rules.tick(QDateTime::currentDateTime())); });
}

void AlarmMonitor::setSettings(const AlarmSettings &settings)
{
    if (settings == m_rules.settings())
        return;
    say(m_rules.changeSettings(settings, QDateTime::currentDateTime()));
    if (settings.any())
        m_tick.start();
    else
        m_tick.stop();
}

void AlarmMonitor::rowStored(qint64 row, qint32, float, const QDateTime &captured)
{
    const MeasurementTable &t = m_session.table();
    m_unit = MeasurementTable::unitName(t.text(row, MeasurementTable::FieldUnit));
    if (!m_rules.settings().any())
        return;
    say(m_rules.feed(captured,
                     MeasurementTable::numberOf(t.text(row, MeasurementTable::FieldValue))));
}

void AlarmMonitor::say(const QList<AlarmEvent> &events)
{
    for (const AlarmEvent &e : events) {
        if (!m_log.add(e, m_unit))
            emit logFailed(m_log.errorString());
        emit alarm(e, m_unit);
    }
}

QByteArray AlarmMonitor::json(const AlarmEvent &e, const QString &unit, const QString &id)
{
    auto time = [](const QDateTime &t) {
        return t.isValid() ? '"' + CaptureTime::text(MeasurementTable::packTime(t)) + '"'
                           : QByteArray("null");
    };
    auto num = [](std::optional<double> v) {
        return v ? QByteArray::number(*v, 'g', 15) : QByteArray("null");
    };
    QString u = unit;
    u.replace(QLatin1Char('"'), QLatin1Char('\''));
    return "{\"alarm\":\"" + AlarmRules::kindName(e.Kind).toUtf8() + "\",\"state\":\"" +
           (e.Start ? "start" : "end") + "\",\"time\":" + time(e.Time) +
           ",\"since\":" + time(e.BreachStart) + ",\"value\":" + num(e.Value) +
           ",\"limit\":" + num(e.Limit) + ",\"worst\":" + num(e.Worst) +
           ",\"seconds\":" + QByteArray::number(e.Seconds, 'f', 3) + ",\"unit\":\"" + u.toUtf8() +
           "\",\"id\":\"" + id.toUtf8() + "\"}";
}
