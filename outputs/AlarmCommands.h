#pragma once
// The --on-alarm command, run for each alarm start and end without ever holding up logging:
// its standard input is /dev/null, its output (standard output and error) is read as it comes
// and handed on, at most four run at once and the events beyond wait their turn in order (an
// end is never lost), and one that runs past its time limit is ended, with everything it
// started.

#include "outputs/OptionEntry.h"

#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <functional>

class AlarmMonitor;
class QProcess;
struct AlarmEvent;

class AlarmCommands : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxRunning = 4;

    AlarmCommands(const QString &command, int limitMs = 60000, QObject *parent = nullptr);
    ~AlarmCommands() override;

    // --on-alarm CMD, as the command line declares it.
    static OptionEntry option();

    // Runs the command at each alarm start and end of monitor.
    void follow(AlarmMonitor &monitor);
    // The command's environment for an event (TX9_ALARM, TX9_STATE, ...).
    static QProcessEnvironment environment(const AlarmEvent &event, const QString &unit);

    // Runs the command for one event (what: "high start", for the messages) with env added to
    // the program's environment, now or when one of the four running has ended.
    void run(const QString &what, const QProcessEnvironment &env);
    int running() const { return int(m_running.size()); }
    int waiting() const { return int(m_queue.size()); }
    // The run is ending: waits up to ms for what is running and queued, ends what is left
    // (said), then calls done.
    void finishThen(int ms, std::function<void()> done);

signals:
    // What the commands printed (passed through as it is).
    void output(const QByteArray &bytes);
    // A message about a command: it could not start, failed, or was ended.
    void said(const QString &line);

private:
    struct Waiting
    {
        QString what;
        QProcessEnvironment env;
    };
    void start(const Waiting &w);
    void ended(QProcess *p);
    void endGroup(QProcess *p, int signal);
    void checkFinished();

    QString m_command;
    int m_limitMs;
    QList<QProcess *> m_running;
    QList<Waiting> m_queue;
    std::function<void()> m_done;
    bool m_finishing = false;
};
