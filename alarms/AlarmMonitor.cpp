#include "alarms/AlarmMonitor.h"

#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"

AlarmMonitor::AlarmMonitor(LoggerSession &session, QObject *parent)
    : QObject(parent), m_session(session)
{
    connect(&session.engine(), &LoggerEngine::rowStored, this, &AlarmMonitor::rowStored);
    // An emptied table numbers its texts anew.
    connect(&session.table(), &QAbstractItemModel::modelReset, this, [this] { m_values.clear(); });
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, [this] { say(m_rules.tick(AlarmMoment::now())); });
}

void AlarmMonitor::setSettings(const AlarmSettings &settings)
{
    if (settings == m_rules.settings())
        return;
    say(m_rules.changeSettings(settings, AlarmMoment::now()));
    if (settings.any())
        m_tick.start();
    else
        m_tick.stop();
}

void AlarmMonitor::rowStored(qint64 row, qint32, float, const QDateTime &captured)
{
    // The row was stored as it was captured: the steady clock's now is its moment too.
    AlarmMoment moment = AlarmMoment::now();
    moment.Wall = captured;
    const MeasurementTable &t = m_session.table();
    m_unit = MeasurementTable::unitName(t.text(row, MeasurementTable::FieldUnit));
    if (!m_rules.settings().any())
        return;
    say(m_rules.feed(moment, m_values.value(t, row)));
}

void AlarmMonitor::say(const QList<AlarmEvent> &events)
{
    for (const AlarmEvent &e : events) {
        if (!m_log.add(e, m_unit))
            emit logFailed(m_log.errorString());
        emit alarm(e, m_unit);
    }
}
