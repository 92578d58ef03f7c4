#include "alarms/AlarmMonitor.h"

#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "session/LoggerSession.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <numeric>

QList<AlarmEvent> replayAlarms(const MeasurementTable &table, qint64 first, qint64 last,
                               const std::function<qint64(qint64)> &timeMs,
                               const LimitsHistory &limits, double gapSeconds, bool recomputed)
{
    QList<AlarmEvent> events;
    first = qMax<qint64>(0, first);
    last = qMin(last, table.count() - 1);
    if (first > last || !anyLimits(limits))
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
    ValueNumbers values;
    std::vector<std::optional<QString>> unitById; // the unit of each unit text, read once
    // Local time with the offset it had, looked up once an hour: a time zone lookup for each
    // of ten million rows would take longer than all the rest.
    qint64 offsetHour = std::numeric_limits<qint64>::min();
    int offset = 0;
    const qint64 gapMs = gapSeconds > 0 ? qint64(gapSeconds * 1000) : 0;
    AlarmMoment moment, before;
    bool any = false;
    for (qint64 i = first; i <= last; ++i) {
        const qint64 r = order.empty() ? i : order[size_t(i - first)];
        const qint64 ms = timeMs(r);
        if (ms / 3600000 != offsetHour) {
            offsetHour = ms / 3600000;
            offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
        }
        before = moment;
        moment.Wall = QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset);
        moment.SteadyMs = ms;
        // Across a gap nothing goes on: what was on ends with the last reading before it.
        const bool gap = any && gapMs > 0 && ms - before.SteadyMs > gapMs;
        if (gap)
            events += rules.gap(before);
        // Limits set since the last reading judge this one.
        if (const AlarmSettings &s = limitsAt(limits, r); !(s == rules.settings()))
            rules.changeSettings(s, moment, false);
        any = true;
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

LimitsHistory limitsHistory(const std::vector<AuditEntry> &entries, qint64 rowOffset)
{
    LimitsHistory history;
    for (const AuditEntry &e : entries) {
        if (e.What != QLatin1String("alarm settings"))
            continue;
        const std::optional<AlarmSettings> now = AlarmSettings::fromText(e.New);
        if (!now)
            continue;
        if (history.empty() && e.Rows > 0)
            if (const std::optional<AlarmSettings> was = AlarmSettings::fromText(e.Old))
                history.push_back({rowOffset, *was});
        changeFrom(history, rowOffset + e.Rows, *now);
    }
    return history;
}

QList<AlarmEvent> cableLossesOf(const std::vector<AuditEntry> &entries, double holdSeconds)
{
    QList<AlarmEvent> out;
    std::optional<QDateTime> lost;
    const auto add = [&](const QDateTime &end) {
        const QDateTime from = *std::exchange(lost, std::nullopt);
        const double seconds = double(from.msecsTo(end)) / 1000;
        if (seconds < holdSeconds)
            return;
        AlarmEvent e;
        e.Kind = AlarmKind::CableLost;
        e.BreachStart = from;
        e.Time = e.BreachStart.addMSecs(qint64(holdSeconds * 1000));
        e.Seconds = holdSeconds;
        e.Recomputed = true;
        e.Detail = QStringLiteral("the cable was unplugged or stopped answering");
        out << e;
        e.Start = false;
        e.Time = end;
        e.Seconds = seconds;
        out << e;
    };
    QDateTime latest;
    for (const AuditEntry &e : entries) {
        const QDateTime at = QDateTime::fromString(e.Time, Qt::ISODate);
        if (!at.isValid())
            continue;
        latest = at;
        if (e.What == QLatin1String("cable lost") && !lost)
            lost = at;
        else if (lost &&
                 (e.What == QLatin1String("connected") || e.What == QLatin1String("session ended")))
            add(at);
    }
    // Lost when the session ended unasked: it was lost until the last moment it speaks of.
    if (lost)
        add(latest);
    return out;
}

AlarmMonitor::AlarmMonitor(LoggerSession &session, QObject *parent)
    : QObject(parent), m_session(session)
{
    connect(&session.engine(), &LoggerEngine::rowStored, this, &AlarmMonitor::rowStored);
    // An emptied table numbers its texts anew.
    connect(&session.table(), &QAbstractItemModel::modelReset, this, [this] {
        m_values.clear();
        m_replayed.clear();
        m_restoredBlind.clear();
        m_lastRow.reset();
        m_history = {{0, m_rules.settings()}};
        if (!std::exchange(m_recomputed, {}).isEmpty())
            emit recomputedChanged();
    });
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &AlarmMonitor::tick);
    m_tick.start();
    followSession();
}

namespace {

// The wall clock less a clock that counts the time asleep too: it moves only when the wall
// clock is set (a suspended laptop waking up moves both alike).
qint64 wallLessBootMs()
{
    timespec boot = {};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    return QDateTime::currentMSecsSinceEpoch() -
           (qint64(boot.tv_sec) * 1000 + boot.tv_nsec / 1000000);
}

} // namespace

void AlarmMonitor::followSession()
{
    LoggerEngine &engine = m_session.engine();
    const auto cableId = [this] {
        const LoggerEngine &e = m_session.engine();
        return e.cableOf(e.Selected).Id;
    };
    // The cable lost while it was read (unplugged, or gone from the list): blind until a
    // connection is made again. A cable let go first and then unplugged is no loss.
    const auto lost = [this, cableId] {
        condition(AlarmKind::MeterSilent, false);
        condition(AlarmKind::CableLost, true,
                  QStringLiteral("the cable %1 was unplugged or stopped answering").arg(cableId()));
    };
    connect(&engine, &LoggerEngine::cableGone, this, lost);
    connect(&engine, &LoggerEngine::recallLocked, this, [this](bool connected) {
        if (connected)
            condition(AlarmKind::CableLost, false);
    });
    // Connected, and the meter sends nothing: switched off, asleep, out of batteries. Only a
    // frame ends it (the faces connect again and again while they wait for one).
    connect(&engine, &LoggerEngine::watchdogTripped, this, [this, cableId] {
        condition(AlarmKind::MeterSilent, true,
                  QStringLiteral("the meter on %1 sends nothing (switched off or asleep?)")
                      .arg(cableId()));
    });
    connect(&engine, &LoggerEngine::frameArrived, this,
            [this] { condition(AlarmKind::MeterSilent, false); });
    Journal *journal = &m_session.journal();
    connect(journal, &Journal::writableChanged, this,
            [this](bool writable, const QString &path, const QString &why) {
                fileWritable(path, writable,
                             QStringLiteral("the journal %1 cannot be written: %2").arg(path, why));
            });
    m_clockOffsetMs = wallLessBootMs();
}

void AlarmMonitor::tick()
{
    const AlarmMoment now = AlarmMoment::now();
    // A step of more than two seconds is the clock set, not the timer late.
    const qint64 offset = wallLessBootMs();
    if (const qint64 step = offset - std::exchange(m_clockOffsetMs, offset); qAbs(step) > 2000)
        say(m_blind.clockStepped(now, step));
    say(m_blind.tick(now));
    if (!m_rules.settings().any())
        return;
    // No reading for longer than a gap: what the limits raised ends with the last one, and
    // nothing held pending starts without readings.
    if (m_lastRow && !m_gapSaid && now.SteadyMs - m_lastRow->SteadyMs > gapMs()) {
        m_gapSaid = true;
        say(m_rules.gap(*m_lastRow));
        return;
    }
    if (!m_gapSaid)
        say(m_rules.tick(now));
}

qint64 AlarmMonitor::gapMs() const
{
    return qint64(m_gapSeconds * 1000);
}

void AlarmMonitor::setGapSeconds(double seconds)
{
    if (seconds == std::exchange(m_gapSeconds, seconds))
        return;
    replayAll();
}

void AlarmMonitor::condition(AlarmKind kind, bool on, const QString &detail)
{
    say(m_blind.set(kind, on, AlarmMoment::now(), detail));
}

QStringList AlarmMonitor::activeKinds() const
{
    QStringList on;
    for (const AlarmKind k : AllAlarmKinds)
        if (active(k))
            on << AlarmRules::kindName(k);
    return on;
}

void AlarmMonitor::fileWritable(const QString &path, bool writable, const QString &why)
{
    if (writable)
        m_unwritable.remove(path);
    else
        m_unwritable.insert(path, why);
    condition(AlarmKind::NotWritable, !m_unwritable.isEmpty(),
              QStringList(m_unwritable.values()).join(QStringLiteral("; ")));
}

QList<AlarmEvent> AlarmMonitor::blindEntries(const AlarmMoment &end) const
{
    QList<AlarmEvent> out;
    for (const AlarmEvent &e : m_log.entries())
        if (isBlindAlarm(e.Kind))
            out << e;
    out += m_restoredBlind;
    std::stable_sort(out.begin(), out.end(), [](const AlarmEvent &a, const AlarmEvent &b) {
        return a.BreachStart < b.BreachStart;
    });
    placeStillOn(out, m_blind.stillOn(end));
    return out;
}

void AlarmMonitor::setSettings(const AlarmSettings &settings)
{
    if (settings == m_rules.settings())
        return;
    say(m_rules.changeSettings(settings, AlarmMoment::now()));
    changeFrom(m_history, m_session.table().count(), settings); // from the next reading on
    m_blind.setHold(AlarmKind::CableLost, settings.HoldSeconds);
    replayAll();
}

void AlarmMonitor::rowStored(qint64 row, qint32, float, const QDateTime &captured)
{
    // The row was stored as it was captured: the steady clock's now is its moment too.
    AlarmMoment moment = AlarmMoment::now();
    moment.Wall = captured;
    const MeasurementTable &t = m_session.table();
    m_unit = MeasurementTable::unitName(t.text(row, MeasurementTable::FieldUnit));
    const std::optional<AlarmMoment> before = std::exchange(m_lastRow, moment);
    const bool gap =
        before && !std::exchange(m_gapSaid, false) && moment.SteadyMs - before->SteadyMs > gapMs();
    if (!m_rules.settings().any())
        return;
    if (gap)
        say(m_rules.gap(*before));
    say(m_rules.feed(moment, m_values.value(t, row), m_unit));
}

void AlarmMonitor::recompute(qint64 first, qint64 last, std::function<qint64(qint64)> timeMs,
                             LimitsHistory limits)
{
    if (first > last)
        return;
    m_replayed.push_back({first, last, std::move(timeMs), std::move(limits)});
    replayAll();
}

LimitsHistory AlarmMonitor::limitsInForce() const
{
    LimitsHistory h = m_history;
    for (const Replayed &r : m_replayed)
        h = overlaid(h, r.First, r.Last,
                     r.Limits.empty() ? LimitsHistory{{0, m_rules.settings()}} : r.Limits);
    return h;
}

void AlarmMonitor::addRecomputed(const QList<AlarmEvent> &events)
{
    if (events.isEmpty())
        return;
    m_restoredBlind += events;
    replayAll();
}

void AlarmMonitor::replayAll()
{
    QList<AlarmEvent> events = m_restoredBlind;
    const double gapSeconds = double(gapMs()) / 1000;
    for (const Replayed &r : m_replayed)
        events +=
            replayAlarms(m_session.table(), r.First, r.Last, r.TimeMs,
                         r.Limits.empty() ? LimitsHistory{{r.First, m_rules.settings()}} : r.Limits,
                         gapSeconds, true);
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

void AlarmMonitor::stop()
{
    if (std::exchange(m_stopped, true))
        return;
    m_tick.stop();
    const AlarmMoment now = AlarmMoment::now();
    QList<AlarmEvent> events = m_rules.gap(now) + m_blind.endAll(now);
    for (AlarmEvent &e : events) {
        e.Stopped = true;
        e.Detail = QString::fromLatin1(AlarmEvent::StoppedDetail);
    }
    say(events);
}

void AlarmMonitor::say(const QList<AlarmEvent> &events)
{
    if (m_stopped && !events.isEmpty() && !events.front().Stopped)
        return; // nothing starts or ends once the run has stopped
    for (const AlarmEvent &e : events) {
        const QString unit = e.Unit.isEmpty() ? m_unit : e.Unit;
        if (!m_log.add(e, unit))
            emit logFailed(m_log.errorString());
        emit alarm(e, unit);
    }
}
