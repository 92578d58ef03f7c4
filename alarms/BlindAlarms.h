#pragma once
// The alarms of a logger gone blind: it still runs, but what it records no longer reaches the
// disk, the broker or the meter. Each kind follows a condition the session reports (the cable
// lost, the meter silent, a file that cannot be written, the broker away) and starts once the
// condition has lasted its hold time (0: at once), ending when the condition does; a condition
// that ends within its hold raises nothing. The wall clock set is a moment rather than a
// state: its alarm starts at the step and ends once the clock has kept time for a minute.
//
// Pure, like AlarmRules: conditions and the passing of time go in, start and end events come
// out, each with what is wrong in its Detail.

#include "alarms/AlarmRules.h"

#include <array>

class BlindAlarms
{
public:
    // How long the wall clock must keep time after a step before its alarm ends.
    static constexpr qint64 ClockQuietMs = 60000;

    // The hold time of a kind (the cable's is the limits' hold, the broker's --broker-alarm).
    void setHold(AlarmKind kind, double seconds);
    double hold(AlarmKind kind) const { return state(kind).Hold; }
    // A condition begins (on) or ends at a moment. Begun again while on, only its detail is
    // updated; ended while it was not on, nothing happens.
    QList<AlarmEvent> set(AlarmKind kind, bool on, const AlarmMoment &at,
                          const QString &detail = {});
    // The wall clock was set (by stepMs, forward or back) at a moment.
    QList<AlarmEvent> clockStepped(const AlarmMoment &at, qint64 stepMs);
    // Time passes: a condition whose hold has passed raises its alarm; the clock's ends.
    QList<AlarmEvent> tick(const AlarmMoment &now);

    bool active(AlarmKind kind) const { return isBlindAlarm(kind) && state(kind).Active; }
    bool anyActive() const;
    // The run stops: every alarm on ends now (Stopped), and every condition is forgotten.
    QList<AlarmEvent> endAll(const AlarmMoment &now);
    // The alarms still on, each as a start with OpenAtEnd set (Seconds so far).
    QList<AlarmEvent> stillOn(const AlarmMoment &end) const;

private:
    struct State
    {
        bool On = false;     // the condition holds
        bool Active = false; // its alarm is on
        AlarmMoment Since;   // when the condition began
        QString Detail;
        double Hold = 0;
    };
    static constexpr int Kinds = int(AlarmKind::NotSigned) - int(AlarmKind::CableLost) + 1;
    State &state(AlarmKind kind) { return m_state[size_t(int(kind) - int(AlarmKind::CableLost))]; }
    const State &state(AlarmKind kind) const
    {
        return m_state[size_t(int(kind) - int(AlarmKind::CableLost))];
    }
    AlarmEvent event(AlarmKind kind, bool start, const AlarmMoment &at) const;
    std::array<State, Kinds> m_state;
    qint64 m_lastStepMs = 0; // on the steady clock
};
