#pragma once
// Logging without a window: the command line of `--headless`, and the run that drives the
// logger engine from it. Nothing here needs a display; the run writes the data file as the
// window saves it, rows to standard output on request, and its messages to standard error.

#include "mqtt/MqttOptions.h"
#include "outputs/DataFileOutput.h"
#include "outputs/Outputs.h"
#include "session/ExitStatus.h"
#include "session/LoggerSession.h"
#include "session/WindowOption.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class HidPlatform;
#include <QCoreApplication>
struct SummaryInput;
class Journal;
class MqttPublisher;
class AlarmMonitor;
class TableStatistics;
class Outputs;
class ErrWriter;
struct AlarmEvent;
class MeasurementTable;
class DataFileOutput;
class JournalWatch;
class RowStream;

namespace Headless {

// Exit statuses: Headless::Usage and the others are Exit's.
using namespace Exit;
using Status = Exit::Status;

// The data file's options are the outputs': Existing::Refuse ends a run with status 5.
using ::Existing;

struct Options
{
    QString Output; // the data file; empty: none
    Existing IfExists = Existing::Refuse;
    bool ToStdout = false;
    bool Download = false;
    int Interval = 1;               // seconds; 0 stores every reading
    bool Repeat = true;             // a reading equal to the last stored one is stored too
    std::optional<qint64> Limit;    // rows
    std::optional<double> Duration; // seconds
    QString Device;                 // --device
    bool Wait = false;              // no cable yet: wait for one to be plugged in
    bool NoIdLock = false;          // an ID lock that cannot be taken is passed over
    bool List = false;
    bool Quiet = false;
    std::optional<Mqtt::Options> Mqtt; // publishing; none: not
    bool Csv = false;                  // --format csv: the data file as CSV
    std::optional<double> High, Low;   // alarm limits
    double Hold = 0, Hysteresis = 0.5;
    QString LimitUnit; // of the limits: "°C", "°F"; empty: the first reading's
    QString Summary;   // the statistics' file
    // What the option table applies to the outputs (--latest, --on-alarm).
    OutputOptions Outputs;
    QString Report;                // the summary report (PDF) written when the run ends
    bool ReplaceReport = false;    // --overwrite: a file of Report that is not a PDF is replaced
    std::optional<SignOff> Signed; // --sign-as, --meaning, --comment: the report's sign-off
};

// Writes a summary report (the program's own writer, which needs Qt's widgets: given by the
// program, so that this library stays Qt Core only). False with the reason on failure.
using ReportWriter =
    std::function<bool(const SummaryInput &input, const QString &path, QString *reason)>;
void setReportWriter(ReportWriter writer);
const ReportWriter &reportWriter();
// Makes the application of a headless run (a QCoreApplication unless the run needs more).
using AppFactory = std::function<std::unique_ptr<QCoreApplication>(int &argc, char **argv)>;

struct Parsed
{
    std::optional<Options> options; // none: stop with status, printing message
    int status = Ok;
    QString message; // the help text (status Ok) or what is wrong (status Usage)
};

// The command line (program name first; --headless anywhere in it).
Parsed parse(const QStringList &arguments, const QString &extraHelp = {});
QString helpText(const QString &program, const QString &extraHelp = {});

// Whether the command line asks for the headless run (or for the help text).
bool requested(int argc, char **argv);

// What the command line of a program that would open a window asks before any window (or
// display) exists: --version is answered, an option neither the window nor Qt knows is a
// usage error (status 2, a hint on standard error). Returns the exit status when the program
// is to stop here.
std::optional<int> beforeWindow(int argc, char **argv,
                                const QList<WindowOption> &windowOptions = {});
// The log of alarms beside a data file: kiln.txt, kiln-alarms.txt.
QString alarmLogPath(const QString &output);

// tx9-logger --systemd-unit [ID]: prints the systemd unit of the logger of the cable with
// that ID (else the ID in TX9_CABLE_ID, as the udev rule passes it: an environment variable
// is never split into words, whatever a cable's serial number holds). None when the command
// line asks for something else.
std::optional<int> unitNameCommand(int argc, char **argv);
// The help text's part for the window options.
QString windowOptionsHelp(const QList<WindowOption> &windowOptions);
// The program's version, as --version prints it.
QString versionText(const QString &program);
// The start both programs share: standard descriptors guarded, raw MQTT topics refused, then
// the headless run when the command line asks for it, on the platform platformFor makes (it
// may take options of its own off the arguments), or else what beforeWindow asks. Returns the
// exit status when the program ends here; none: the window is to open.
using PlatformFor =
    std::function<std::shared_ptr<HidPlatform>(QStringList &arguments, QObject *context)>;
std::optional<int> startProgram(int argc, char **argv, const PlatformFor &platformFor,
                                const QList<WindowOption> &windowOptions = {},
                                const AppFactory &makeApp = {});
// Runs the command line on platform until the run ends; a QCoreApplication must exist.
// SIGINT, SIGTERM and SIGHUP stop the run cleanly. Returns the exit status. extraHelp is
// added to the help text (the window options of the program).
int run(const QStringList &arguments, HidPlatform *platform, const QString &extraHelp = {});

} // namespace Headless

class HeadlessRun : public QObject, private LoggerSession::Settings
{
    Q_OBJECT
public:
    // out and err are file descriptors (standard output and error); statusLine: keep a
    // status line on err.
    HeadlessRun(const Headless::Options &options, HidPlatform *platform, int out = 1, int err = 2,
                bool statusLine = false, QObject *parent = nullptr);
    ~HeadlessRun() override;

    // Starts the run; finished comes when it has ended (also when it cannot start).
    void start();
    // Ends the run: the stop command goes to the instrument and the data file is completed.
    void stop(int status = Headless::Ok);
    bool running() const { return m_started && !m_done; }
    int status() const { return m_status; }
    const MeasurementTable &table() const { return *m_table; }
    QString journalPath() const;

signals:
    void finished(int status);

private:
    bool recallData() const override { return m_options.Download; }
    bool recordSI() const override { return m_recordSI; }
    bool repeatSet() const override { return m_options.Repeat; }
    QString intervalText() const override { return QString::number(m_options.Interval); }
    bool connectWanted() const override { return m_connectWanted; }
    int chosenRow() const override { return m_row; }
    // What the session says, as this run shows it.
    void noReadWriteAccess(THidDevice *device, quint32 error);
    void noDevice(quint8 kind);
    void rowStored(qint64 row);
    void recordLimitReached();
    void downloadEnded();
    // What the run is to store, for the audit trail.
    QString settingsText() const;
    // Journals of ended sessions set aside at the start, for the audit trail once it is there.
    struct SetAside
    {
        QString What, Old, New;
    };
    std::vector<SetAside> m_setAside;
    void deviceRemoved(THidDevice *device);
    void deviceListRebuilt(bool connected);
    void connectionLost();
    void watchdogTripped();
    // The cable is no longer read: a download ends (why), a live run waits (saying waiting).
    void cableLost(const QString &why, const QString &waiting);
    // The download cannot go on: it ends here, and is never fetched again from the start.
    void downloadInterrupted(const QString &why);

    int pickRow() const;
    // The rows that may be taken, in the order they are tried: the cable asked for (or
    // followed), else every thermometer cable, first to last.
    QList<int> candidates() const;
    // The row of the cable to use, its locks taken; -1 when there is none to take. holder:
    // the process using a cable that was passed over, 0 when none was.
    // The first candidate cable that no other logger holds, its locks taken (-1: none; holder:
    // who held the last one refused). lockFailed, when given: set, and -1 returned, when a
    // cable with a stable ID cannot have its ID locked and --no-id-lock was not given.
    int claimRow(qint64 *holder, QString *lockFailed = nullptr);
    // Every candidate cable is another logger's (holder: one of them): said, status 3.
    void everyCableInUse(qint64 holder);
    void reconnect();
    void list();
    bool openOutput();
    void setOrphansAside();
    void connectCable();
    void sayStarted();
    void say(const QString &line);
    void warn(const QString &line);
    void writeErr(const QString &text);
    void writeErrBytes(const QByteArray &bytes);
    void showStatus();
    void outputFailed(const QString &reason);
    QString keptWhere() const;
    void durationStep();
    void finish(int status);
    void startOutputs();
    bool startPublishing();
    MqttPublisher *publisher() const;
    void summarize();
    void writeReport();

    Headless::Options m_options;
    int m_out, m_err;
    bool m_statusLine;
    HidPlatform *m_platform;
    LoggerSession m_session;
    LoggerState &m_state = m_session.state();
    LoggerEngine &m_engine = m_session.engine();
    MeasurementTable *m_table = &m_session.table();
    Journal *m_journal = &m_session.journal();
    JournalWatch *m_journalWatch;
    DataFileOutput *m_file = nullptr;
    RowStream *m_stream = nullptr;
    Outputs *m_outputs = nullptr;
    std::unique_ptr<ErrWriter> m_errWriter;
    QTimer m_statusTimer;
    QTimer m_durationTimer;
    QDeadlineTimer m_deadline; // of --duration
    QTimer m_settleTimer;      // a cable that came back is connected when the list is quiet
    bool m_recordSI = true;
    bool m_connectWanted = false;
    bool m_lost = false;         // the cable went away; waiting for it
    bool m_saidNoAccess = false; // while waiting, the cable came back but cannot be opened
    bool m_retryPending = false; // a look at the list again is due
    bool m_saidLockFailed = false;
    bool m_saidInUse = false; // while waiting, every cable there was another logger's
    bool m_downloadEnded = false;
    bool m_everConnected = false; // the cable has been connected once (--wait waits for it)
    bool m_started = false;
    bool m_done = false;
    bool m_statusShown = false;
    int m_row = -1;
    QString m_cableId;  // DevInst of the cable in use (changes with a replug)
    QString m_followId; // the cable's stable ID once it was connected: the only one taken again
    int m_status = Headless::Ok;
};
