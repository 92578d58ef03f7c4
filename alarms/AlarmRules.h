#pragma once
// Limit alarms over a stream of readings, as people who log temperatures ask for them: a high
// and a low limit, each optional; a hold time (a breach counts only once the reading has stayed
// beyond the limit that long; 0: at once); a hysteresis (an alarm clears only once the reading
// is back inside by that much). A reading without a value (dashes, an over-range L) is an event
// of its own, "no reading", which alarms under the same hold time while any limit is set and
// clears with the next reading that has a value. Limits keep their unit: a reading in the other
// unit (the thermometer switched between °C and °F) is converted before it is compared, and
// every value an alarm gives is in the limits' unit. Limits given without a unit take that of
// the first reading.
//
// Pure: readings and the passing of time go in, start and end events come out. Time comes as
// two clocks: the wall clock, for the times shown and written, and a steady clock that never
// steps, which measures the hold time and the durations (a clock set back an hour during a
// breach changes neither).

#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>
#include <vector>

// A moment on both clocks.
struct AlarmMoment
{
    QDateTime Wall;
    qint64 SteadyMs = 0; // any origin; only differences count
    // Now, on this process's clocks.
    static AlarmMoment now();
};

struct AlarmSettings
{
    std::optional<double> High;
    std::optional<double> Low;
    double HoldSeconds = 0;
    double Hysteresis = DefaultHysteresis;
    QString Unit; // of the limits and the hysteresis: "°C", "°F"; empty: the first reading's
    // Half a degree keeps the noise of a reading near a limit from raising alarm after alarm.
    static constexpr double DefaultHysteresis = 0.5;
    bool any() const { return High || Low; }
    bool operator==(const AlarmSettings &) const = default;
    // As the audit trail gives them: "high 30 °C, low none, hold 0 s, hysteresis 0.5".
    QString text() const;
    // Back from that text; none when it does not read as one.
    static std::optional<AlarmSettings> fromText(const QString &text);
};

// The limits as they changed over a recording: each from the row at which it took effect
// (the table's row count when it was set), in row order. Rows before the first change are
// judged by no limits.
struct LimitChange
{
    qint64 FromRow = 0;
    AlarmSettings Settings;
    bool operator==(const LimitChange &) const = default;
};
using LimitsHistory = std::vector<LimitChange>;
// The limits in force at a row: the last change made at or before it (none before the first).
const AlarmSettings &limitsAt(const LimitsHistory &history, qint64 row);
// Whether any of them sets a limit.
bool anyLimits(const LimitsHistory &history);
// settings from row on: changes at or after it are dropped (two before one reading: the last
// holds).
void changeFrom(LimitsHistory &history, qint64 row, const AlarmSettings &settings);
// history with rows first..last judged by inside instead (its changes at or before first
// count from first), each row after as before.
LimitsHistory overlaid(const LimitsHistory &history, qint64 first, qint64 last,
                       const LimitsHistory &inside);

// The alarm options of a command line (--high, --low, --hold, --hysteresis), as given (none:
// not given), into settings; the usage error when one does not read or they do not fit
// together. A limit may carry its unit ("24C", "75.2°F"); both limits then carry the same.
// Both programs, the run and the report, check them alike.
QString readAlarmOptions(const std::optional<QString> &high, const std::optional<QString> &low,
                         const std::optional<QString> &hold,
                         const std::optional<QString> &hysteresis, AlarmSettings &into);

// The limits' alarms (high, low, no reading) and those of a logger gone blind: the cable lost
// for longer than the hold, the meter silent, the journal or the data file that cannot be
// written, the outbox that cannot be written, the broker unreachable for longer than its hold,
// the wall clock set (see BlindAlarms.h).
enum class AlarmKind
{
    High,
    Low,
    NoReading,
    CableLost,
    MeterSilent,
    NotWritable,
    OutboxNotWritable,
    BrokerUnreachable,
    ClockSet,
    NotSigned // the data file's signature or trail cannot be written
};
constexpr AlarmKind AllAlarmKinds[] = {AlarmKind::High,
                                       AlarmKind::Low,
                                       AlarmKind::NoReading,
                                       AlarmKind::CableLost,
                                       AlarmKind::MeterSilent,
                                       AlarmKind::NotWritable,
                                       AlarmKind::OutboxNotWritable,
                                       AlarmKind::BrokerUnreachable,
                                       AlarmKind::ClockSet,
                                       AlarmKind::NotSigned};
// An alarm about the logger itself rather than the temperature.
constexpr bool isBlindAlarm(AlarmKind kind)
{
    return kind > AlarmKind::NoReading;
}

struct AlarmEvent
{
    AlarmKind Kind = AlarmKind::High;
    bool Start = true;           // false: the end
    QDateTime Time;              // when it was raised (the hold time passed) or ended
    QDateTime BreachStart;       // the alarm's start: when the reading first went beyond the
                                 // limit; the same for its start and its end
    std::optional<double> Value; // the reading at that moment; none for no reading
    std::optional<double> Limit; // none for no reading
    std::optional<double> Worst; // the furthest beyond the limit so far
    double Seconds = 0;          // from the breach's start to Time, on the steady clock
    bool OpenAtEnd = false;      // a start still on when the readings end: Time is that end,
                                 // Worst and Seconds are so far
    bool Recomputed = false;     // worked out afterwards from stored rows, not seen live
    QString Unit;                // of Value, Limit and Worst; empty: not known
    QString Detail;              // of a blind logger's alarm: what is wrong ("No space left
                                 // on device writing /data/kiln.txt")
    bool Stopped = false;        // an end the run's stop made, not the alarm's own: its
                                 // Detail is StoppedDetail
    static constexpr const char *StoppedDetail = "ended: the run stopped";
};

// Alarms still on (starts with OpenAtEnd), each in the place of its start among events
// (appended when not there), so that every alarm is listed once.
void placeStillOn(QList<AlarmEvent> &events, const QList<AlarmEvent> &stillOn);

class AlarmRules
{
public:
    void setSettings(const AlarmSettings &settings);
    // A change of the limits takes effect on the last reading at once (now): a breach that
    // is no breach under the new limits ends, one that becomes one begins. Not atOnce: from
    // the next reading on (rows worked out afterwards, each judged by the limits at it).
    QList<AlarmEvent> changeSettings(const AlarmSettings &settings, const AlarmMoment &now,
                                     bool atOnce = true);
    const AlarmSettings &settings() const { return m_settings; }

    // A reading at a moment in its unit ("°C", "°F"; empty: the limits'); value none for a
    // reading without one.
    QList<AlarmEvent> feed(const AlarmMoment &time, std::optional<double> value,
                           const QString &unit = {});
    // Time passes without a reading: a breach whose hold time has passed starts now.
    QList<AlarmEvent> tick(const AlarmMoment &now);
    // The readings stopped after the last one (at lastReading) for longer than a gap: what is
    // on ends there, and what was held pending is forgotten; the next reading starts afresh.
    QList<AlarmEvent> gap(const AlarmMoment &lastReading);

    bool active(AlarmKind kind) const { return !isBlindAlarm(kind) && m_state[int(kind)].active; }
    // The alarms still on at end, each as a start with OpenAtEnd set.
    QList<AlarmEvent> stillOn(const AlarmMoment &end) const;
    // The same, each in the place of its start among events (appended when not there), so
    // that every alarm is listed once.
    void closeAtEnd(QList<AlarmEvent> &events, const AlarmMoment &end) const;
    bool anyActive() const;
    // "high", "low", "no reading", "cable lost", "meter silent", "not writable", "outbox not
    // writable", "broker unreachable", "clock set", "not signed": the one name of each kind, in the
    // alarm log, MQTT, the metrics, TX9_ALARM and the windows.
    static QString kindName(AlarmKind kind);
    // The kind of a name, the old "none" of no reading included.
    static std::optional<AlarmKind> kindNamed(const QString &name);
    // The unit the limits are in: the settings', else the first reading's (empty: none yet).
    QString unit() const { return m_settings.Unit.isEmpty() ? m_firstUnit : m_settings.Unit; }
    // A temperature from one unit into another; unchanged when either is empty or unknown.
    static double convert(double value, const QString &from, const QString &to);
    // "°C" for "C", "°C", "c"; "°F" likewise; empty for anything else.
    static QString unitOf(QStringView text);

private:
    struct State
    {
        bool pending = false; // beyond the limit, the hold time not yet passed
        bool active = false;
        AlarmMoment since;
        std::optional<double> worst;
        std::optional<double> limit; // in force when the alarm started
    };
    void step(AlarmKind kind, const AlarmMoment &time, std::optional<double> value,
              QList<AlarmEvent> &events);
    bool held(const State &s, const AlarmMoment &now) const;
    bool beyond(AlarmKind kind, std::optional<double> value) const;
    bool back(AlarmKind kind, std::optional<double> value) const;
    std::optional<double> limitOf(AlarmKind kind) const;
    AlarmEvent event(AlarmKind kind, bool start, const AlarmMoment &time,
                     std::optional<double> value) const;

    AlarmSettings m_settings;
    State m_state[3];
    std::optional<double> lastValue() const;
    std::optional<double> m_lastRaw; // in m_lastUnit
    QString m_lastUnit;
    QString m_firstUnit;
    bool m_haveReading = false;
};
