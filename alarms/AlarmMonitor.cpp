#include "alarms/AlarmMonitor.h"

#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"

#include <algorithm>
#include <limits>
#include <numeric>

QList<AlarmEvent> replayAlarms(const MeasurementTable &table, qint64 first, qint64 last,
                               const std::function<qint64(qint64)> &timeMs,
                               const AlarmSettings &settings, bool recomputed)
{
    QList<AlarmEvent> events;
    first = qMax<qint64>(0, first);
    last = qMin(last, table.count() - 1);
    if (!settings.any() || first > last)
        return events;
    // Rows out of time order (files joined, a clock set back) are taken in time order, so that
    // no alarm ends before it starts; in order already, as nearly always, nothing is sorted.
    std::vector<qint64> order;
    for (qint64 r = first + 1; r <= last; ++r)
        if (timeMs(r) < timeMs(r - 1)) {
            order.resize(size_t(last - first + 1));
            std::iota(order.begin(), order.end(), first);
            std::stable_sort(order.begin(), order.end(),
                             [&](qint64 a, qint64 b) { return timeMs(a) < timeMs(b); });
            break;
        }
    AlarmRules rules;
    rules.setSettings(settings);
    ValueNumbers values;
    std::vector<std::optional<QString>> unitById; // the unit of each unit text, read once
    // Local time with the offset it had, looked up once an hour: a time zone lookup for each
    // of ten million rows would take longer than all the rest.
    qint64 offsetHour = std::numeric_limits<qint64>::min();
    int offset = 0;
    AlarmMoment moment;
    for (qint64 i = first; i <= last; ++i) {
        const qint64 r = order.empty() ? i : order[size_t(i - first)];
        const qint64 ms = timeMs(r);
        if (ms / 3600000 != offsetHour) {
            offsetHour = ms / 3600000;
            offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
        }
        moment.Wall = QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset);
        moment.SteadyMs = ms;
        const quint32 u = table.textId(r, MeasurementTable::FieldUnit);
        if (u >= unitById.size())
            unitById.resize(size_t(u) + 1);
        if (!unitById[u])
            unitById[u] = MeasurementTable::unitName(table.textById(u));
        events += rules.feed(moment, values.value(table, r), *unitById[u]);
    }
    // What is still on when the readings end: its worst so far and how long it has lasted.
    rules.closeAtEnd(events, moment);
    for (AlarmEvent &e : events)
        e.Recomputed = recomputed;
    return events;
}

AlarmMonitor::AlarmMonitor(LoggerSession &session, QObject *parent)
    : QObject(parent), m_session(session)
{
    connect(&session.engine(), &LoggerEngine::rowStored, this, &AlarmMonitor::rowStored);
    // An emptied table numbers its texts anew.
    connect(&session.table(), &QAbstractItemModel::modelReset, this, [this] {
        m_values.clear();
        m_replayed.clear();
        if (!std::exchange(m_recomputed, {}).isEmpty())
            emit recomputedChanged();
    });
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, [this] { say(m_rules.tick(AlarmMoment::now())); });
}

void AlarmMonitor::setSettings(const AlarmSettings &settings)
{
    if (settings == m_rules.settings())
        return;
    say(m_rules.changeSettings(settings, AlarmMoment::now()));
    replayAll();
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
    say(m_rules.feed(moment, m_values.value(t, row), m_unit));
}

void AlarmMonitor::recompute(qint64 first, qint64 last, std::function<qint64(qint64)> timeMs)
{
    if (first > last)
        return;
    m_replayed.push_back({first, last, std::move(timeMs)});
    replayAll();
}

void AlarmMonitor::replayAll()
{
    QList<AlarmEvent> events;
    for (const Replayed &r : m_replayed)
        events +=
            replayAlarms(m_session.table(), r.First, r.Last, r.TimeMs, m_rules.settings(), true);
    if (events.isEmpty() && m_recomputed.isEmpty())
        return;
    m_recomputed = events;
    emit recomputedChanged();
}

QList<AlarmEvent> AlarmMonitor::allEntries() const
{
    QList<AlarmEvent> all = m_recomputed + m_log.entries();
    // Each where it is listed: a start at the breach's start, an end when it ended.
    const auto at = [](const AlarmEvent &e) { return e.Start ? e.BreachStart : e.Time; };
    std::stable_sort(all.begin(), all.end(),
                     [&](const AlarmEvent &a, const AlarmEvent &b) { return at(a) < at(b); });
    return all;
}

void AlarmMonitor::say(const QList<AlarmEvent> &events)
{
    for (const AlarmEvent &e : events) {
        const QString unit = e.Unit.isEmpty() ? m_unit : e.Unit;
        if (!m_log.add(e, unit))
            emit logFailed(m_log.errorString());
        emit alarm(e, unit);
    }
}
