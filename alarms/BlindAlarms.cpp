#include "alarms/BlindAlarms.h"

#include <cmath>

void BlindAlarms::setHold(AlarmKind kind, double seconds)
{
    if (isBlindAlarm(kind))
        state(kind).Hold = std::max(0.0, seconds);
}

AlarmEvent BlindAlarms::event(AlarmKind kind, bool start, const AlarmMoment &at) const
{
    const State &s = state(kind);
    AlarmEvent e;
    e.Kind = kind;
    e.Start = start;
    e.Time = at.Wall;
    e.BreachStart = s.Since.Wall;
    e.Seconds = double(at.SteadyMs - s.Since.SteadyMs) / 1000;
    e.Detail = s.Detail;
    return e;
}

QList<AlarmEvent> BlindAlarms::set(AlarmKind kind, bool on, const AlarmMoment &at,
                                   const QString &detail)
{
    QList<AlarmEvent> events;
    if (!isBlindAlarm(kind))
        return events;
    State &s = state(kind);
    if (on) {
        if (!std::exchange(s.On, true))
            s.Since = at;
        if (!detail.isEmpty())
            s.Detail = detail;
        return tick(at);
    }
    if (!s.On)
        return events;
    s.On = false;
    if (std::exchange(s.Active, false))
        events << event(kind, false, at);
    return events;
}

QList<AlarmEvent> BlindAlarms::clockStepped(const AlarmMoment &at, qint64 stepMs)
{
    const qint64 minutes = std::llabs(stepMs) / 60000, seconds = std::llabs(stepMs) / 1000 % 60;
    const QString by = minutes > 0 ? QStringLiteral("%1 min %2 s").arg(minutes).arg(seconds)
                                   : QStringLiteral("%1 s").arg(seconds);
    m_lastStepMs = at.SteadyMs;
    return set(AlarmKind::ClockSet, true, at,
               QStringLiteral("the wall clock was set %1 by %2")
                   .arg(stepMs > 0 ? QStringLiteral("forward") : QStringLiteral("back"), by));
}

QList<AlarmEvent> BlindAlarms::tick(const AlarmMoment &now)
{
    QList<AlarmEvent> events;
    for (int i = 0; i < Kinds; ++i) {
        const AlarmKind kind = AlarmKind(int(AlarmKind::CableLost) + i);
        State &s = m_state[size_t(i)];
        if (s.On && !s.Active && now.SteadyMs - s.Since.SteadyMs >= qint64(s.Hold * 1000)) {
            s.Active = true;
            events << event(kind, true, now);
        }
    }
    if (state(AlarmKind::ClockSet).On && now.SteadyMs - m_lastStepMs >= ClockQuietMs)
        events += set(AlarmKind::ClockSet, false, now);
    return events;
}

QList<AlarmEvent> BlindAlarms::endAll(const AlarmMoment &now)
{
    QList<AlarmEvent> events;
    for (int i = 0; i < Kinds; ++i) {
        State &s = m_state[size_t(i)];
        if (s.Active)
            events << event(AlarmKind(int(AlarmKind::CableLost) + i), false, now);
        s.On = s.Active = false;
    }
    return events;
}

bool BlindAlarms::anyActive() const
{
    for (const State &s : m_state)
        if (s.Active)
            return true;
    return false;
}

QList<AlarmEvent> BlindAlarms::stillOn(const AlarmMoment &end) const
{
    QList<AlarmEvent> out;
    for (int i = 0; i < Kinds; ++i)
        if (m_state[size_t(i)].Active) {
            AlarmEvent e = event(AlarmKind(int(AlarmKind::CableLost) + i), true, end);
            e.OpenAtEnd = true;
            out << e;
        }
    return out;
}
