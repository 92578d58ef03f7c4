#pragma once
// The alarm rules over a logging session's stored rows: each row's value goes through the
// rules, each start and end goes into the alarm log and out as one alarm signal, and a second's
// timer lets a hold time pass between rows. The alarms of a logger gone blind go the same way:
// the session's own conditions (the cable lost, the meter silent, the journal not written,
// the wall clock set) are followed here, those of other outputs come through condition(). The
// faces (the window, the headless run) say the events as they do.

#include "alarms/AlarmLog.h"
#include "alarms/AlarmRules.h"
#include "alarms/BlindAlarms.h"
#include "proof/Seal.h"
#include "recording/ValueNumbers.h"

#include <QMap>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <vector>

class LoggerSession;

// The alarms raised over the rows first..last of table (the recorded ones, or a file's), each
// row judged by the limits in force at it (limits: as they changed; rows before the first
// change raise none), each at the time timeMs gives it (ms since the epoch), taken in time
// order whatever order they are stored in: starts and ends, and those still on at the last
// reading as starts with OpenAtEnd (their worst and duration so far). No alarm runs across a
// gap: where no reading came for longer than gapSeconds (0: no such rule), what is on ends at
// the last reading before it. Each event is marked recomputed when asked.
QList<AlarmEvent> replayAlarms(const MeasurementTable &table, qint64 first, qint64 last,
                               const std::function<qint64(qint64)> &timeMs,
                               const LimitsHistory &limits, double gapSeconds, bool recomputed);

// The limits' history an audit trail gives (its "alarm settings" entries), each change from
// the row it was made at plus rowOffset (where the trail's rows begin in the table). The
// settings before the first change are its old value when that reads as settings.
LimitsHistory limitsHistory(const std::vector<AuditEntry> &entries, qint64 rowOffset = 0);
// The cable-lost alarms a session's audit entries speak of (each "cable lost" up to the next
// "connected", or to its last entry), those that lasted the hold, marked recomputed: for a
// restore, which brings back rows whose live alarms went with the crash.
QList<AlarmEvent> cableLossesOf(const std::vector<AuditEntry> &entries, double holdSeconds);
// The time across which no alarm runs and no time counts: three sampling intervals, at least
// ten seconds, as the time chart breaks its line.
inline double gapSecondsOf(double intervalSeconds)
{
    return std::max(10.0, 3 * intervalSeconds);
}

class AlarmMonitor : public QObject
{
    Q_OBJECT
public:
    explicit AlarmMonitor(LoggerSession &session, QObject *parent = nullptr);

    // New settings take effect on the last reading at once; their hold is the cable's too.
    void setSettings(const AlarmSettings &settings);
    // A condition of a logger gone blind begins or ends (what is wrong in detail); its alarm
    // starts once it has lasted the kind's hold.
    void condition(AlarmKind kind, bool on, const QString &detail = {});
    void setBlindHold(AlarmKind kind, double seconds) { m_blind.setHold(kind, seconds); }
    // A file of the recording (the journal, the data file) can be written or not (why, in
    // words that name it): "not writable" is on while any of them cannot.
    void fileWritable(const QString &path, bool writable, const QString &why = {});
    // Whether an alarm of the kind (any kind) is on now.
    bool active(AlarmKind kind) const { return m_rules.active(kind) || m_blind.active(kind); }
    bool anyActive() const { return m_rules.anyActive() || m_blind.anyActive(); }
    QStringList activeKinds() const; // the names of those on, in the order of AllAlarmKinds
    // The blind logger's alarms as they went: each start and end seen, and those still on at
    // end as starts with OpenAtEnd.
    QList<AlarmEvent> blindEntries(const AlarmMoment &end) const;
    const AlarmSettings &settings() const { return m_rules.settings(); }
    const AlarmRules &rules() const { return m_rules; }
    AlarmLog &log() { return m_log; }
    QString unit() const { return m_unit; } // of the last reading: "°C", "°F"

    // Rows that came into the table without being seen here (restored after a crash, loaded
    // from a file): their alarms are worked out from them and kept apart from the log, which
    // holds what was seen live. Judged by the limits in force when they were recorded, when
    // their history is known (limits); else by those set here, again whenever they change.
    void recompute(qint64 first, qint64 last, std::function<qint64(qint64)> timeMs,
                   LimitsHistory limits = {});
    // The run stops: every alarm on ends now, through every sink, each saying "ended: the run
    // stopped"; none starts after it.
    void stop();
    // No alarm runs across a gap longer than this (the time chart's).
    void setGapSeconds(double seconds);
    // The limits each row of the table is judged by: those set here as they changed, and for
    // rows recomputed, theirs.
    LimitsHistory limitsInForce() const;
    // Alarms of a logger gone blind that rows brought back cannot give (a cable lost before a
    // crash), kept with the recomputed ones.
    void addRecomputed(const QList<AlarmEvent> &events);
    const QList<AlarmEvent> &recomputed() const { return m_recomputed; }
    // The log's entries and the recomputed ones, in the order of their starts.
    QList<AlarmEvent> allEntries() const;

signals:
    void alarm(const AlarmEvent &event, const QString &unit);
    // The log's file could not take an entry (reason).
    void logFailed(const QString &reason);
    // The recomputed alarms changed.
    void recomputedChanged();

private:
    void rowStored(qint64 row, qint32 no, float value, const QDateTime &captured);
    void say(const QList<AlarmEvent> &events);
    void replayAll();
    void tick();
    void followSession();

    LoggerSession &m_session;
    AlarmRules m_rules;
    BlindAlarms m_blind;
    QMap<QString, QString> m_unwritable; // path: why
    qint64 m_clockOffsetMs = 0;          // the wall clock less the boot clock, at the last tick
    AlarmLog m_log;
    QString m_unit;
    ValueNumbers m_values;
    QTimer m_tick;
    struct Replayed
    {
        qint64 First, Last;
        std::function<qint64(qint64)> TimeMs;
        LimitsHistory Limits; // empty: those set here
    };
    std::vector<Replayed> m_replayed;
    QList<AlarmEvent> m_recomputed, m_restoredBlind;
    // The last recorded reading, on both clocks: the readings stop for longer than a gap and
    // what the limits raised ends there (once).
    std::optional<AlarmMoment> m_lastRow;
    bool m_gapSaid = false;
    bool m_stopped = false;
    double m_gapSeconds = gapSecondsOf(0);
    LimitsHistory m_history{{0, {}}}; // the limits set here, from the row each was set at
    qint64 gapMs() const;
};
