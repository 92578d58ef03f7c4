#pragma once
// What follows a logging session besides its table and journal, built once for both faces
// (the window, the headless run): the statistics, the alarms with their log, desktop
// notifications, MQTT topic and command, and the MQTT publisher. Every one of them follows
// the session's rowStored. A face builds the outputs from its options and shows what they
// say (the signals below) in its own words.
//
// The data file (DataFileOutput), the row stream (RowStream), the journal's watch
// (JournalWatch) and --latest (LatestReading) are outputs of their own beside these, built by
// the face that offers them.
//
// A new output is a class here that follows the session, its option in OutputOptions (or a
// start* call, when it needs what only the run knows), and its test.

#include "alarms/AlarmRules.h"
#include "mqtt/MqttOptions.h"
#include "outputs/OptionEntry.h"
#include "report/SummaryInput.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

namespace DataFiles {
struct Mark;
}

class AlarmCommands;
class AlarmMonitor;
class AuditTrail;
class DataFileOutput;
class Metrics;
class LoggerSession;
class MqttPublisher;
class TableStatistics;
class Timeline;

struct OutputOptions
{
    AlarmSettings Alarms;
    QString AlarmLog;             // the file alarms are appended to as they happen; empty: none
    bool AlarmLogAtFirst = false; // made with the first alarm, not before
    QString OnAlarm;              // a shell command run at each alarm start and end; empty: none
    bool Notify = true;           // desktop notifications of alarms
    QString Latest;               // the newest reading, replaced whole with each row; empty: none
    bool Timeline = false;        // every row placed in time, for the time chart and the report
    QString AuditLog;             // the file every audit entry is appended to; empty: none
    QString MetricsListen;        // --metrics-listen ADDR:PORT; empty: not served
    QString MetricsFile;          // --metrics-file FILE; empty: not written
    // --broker-alarm S: the broker unreachable this long raises an alarm (NaN: not a number
    // of seconds, refused by the parser).
    double BrokerAlarmSeconds = 600;
    // --activation-energy KJ: the mean kinetic temperature's (NaN: not a number, refused).
    double ActivationKJ = 83.144;
};

class Outputs : public QObject
{
    Q_OBJECT
public:
    Outputs(LoggerSession &session, const OutputOptions &options, QObject *parent = nullptr);
    ~Outputs() override;

    AlarmMonitor &alarms() { return *m_alarms; }
    // The audit trail of the session, and of its recording's seal.
    AuditTrail &audit() { return *m_audit; }
    // The metrics for Prometheus (with --metrics-listen or --metrics-file; nullptr without).
    Metrics *metrics() const { return m_metrics; }
    // The session begins: its first entries (the program's version, the alarm settings).
    void beginAudit(const QString &version);
    TableStatistics &statistics() { return *m_stats; }
    // The recording in time (with OutputOptions::Timeline; nullptr without).
    Timeline *timeline() const { return m_timeline; }
    // New limits for the alarms and the statistics' time above and below.
    void setAlarmSettings(const AlarmSettings &settings);
    // Rows first..last came into the table from a file: their alarms are worked out from them
    // (at the times the timeline gives them), by the limits in force when they were recorded
    // (limits, the file's trail) when known, else by those set here.
    void recomputeAlarms(qint64 first, qint64 last, LimitsHistory limits = {});
    // Rows first..last came back from a crashed session's journal whose marks are given: its
    // audit entries go back between them, their alarms are worked out by the limits that
    // session had at each reading, and its cable losses are alarms again.
    void restored(qint64 first, qint64 last, const std::vector<DataFiles::Mark> &marks);

    // Publishing starts once the cable is known (the id may be its serial number): false, and
    // why, when it cannot (its outbox in use, a topic it cannot publish).
    bool startPublishing(const Mqtt::Options &options, const QString &cableSerial, QString *error);
    MqttPublisher *publisher() const { return m_publisher; }
    // The data file of the run: the seals published (<prefix>/seal) are its own from now on,
    // not the recording's, and a write to it that fails raises the "not writable" alarm.
    void followDataFile(DataFileOutput &file);

    // The run stops: every alarm on ends ("ended: the run stopped") through every sink, and
    // the metrics say the logger is down. Before publishing closes, so MQTT hears it too.
    void stop();
    // The run is ending: the alarm commands still running get ms, then done is called.
    void finishThen(int ms, std::function<void()> done);

    // The command-line options of the outputs built here, each declared by its output.
    static QList<OptionEntry> optionEntries();

    // What the summary report is made of, for either face: the logger's id (when it
    // publishes), the cable by its ID, the session's table and timeline, the limits, the
    // program's version; the face adds what only it knows (the interval, the sources).
    SummaryInput summaryInput(const QString &cable, const QString &version) const;
    // The report of in is signed by signOff: stamped now and recorded in the trail after the
    // seal in already holds, which the page prints. So the printed seal is a point of the
    // trail of every file that holds the recording from then on (the sign-off, and the
    // report's writing, come after it); the page lists the sign-off's entry after the others.
    void signReport(SummaryInput &in, SignOff signOff);

signals:
    // A line for the face to say (problem: a warning), from publishing or the alarm command.
    void said(const QString &line, bool problem);
    // Output of the alarm command, to pass through as it is.
    void commandOutput(const QByteArray &bytes);
    // The alarm log's file could not be opened or written (path, reason).
    void alarmLogFailed(const QString &path, const QString &reason, bool opening);
    // Publishing: the broker refused the configuration (why); trouble the user should see; the
    // id is in use by another logger.
    void publishingRefused(const QString &why);
    void publishingTrouble(const QString &text);
    void idInUse();

private:
    LoggerSession &m_session;
    OutputOptions m_options;
    AlarmMonitor *m_alarms = nullptr;
    TableStatistics *m_stats = nullptr;
    MqttPublisher *m_publisher = nullptr;
    AlarmCommands *m_commands = nullptr;
    Timeline *m_timeline = nullptr;
    AuditTrail *m_audit = nullptr;
    Metrics *m_metrics = nullptr;
    QString m_sealedFile; // the data file whose seals are published; empty: the recording's
    void publishSeal(const QString &seal);
    static OptionEntry brokerAlarmOption();
    static OptionEntry activationOption();
    void followInterval();
    // The readings' usual spacing (whole seconds) once rows came from a file or a journal.
    qint64 m_rowSpacing = 0;
};
