#include "outputs/AlarmCommands.h"

#include "outputs/Outputs.h"

#include "alarms/AlarmLog.h"
#include "alarms/AlarmMonitor.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QProcess>
#include <QTimer>
#include <QVariant>
#include <csignal>
#include <unistd.h>

AlarmCommands::AlarmCommands(const QString &command, int limitMs, QObject *parent)
    : QObject(parent), m_command(command), m_limitMs(limitMs)
{}

AlarmCommands::~AlarmCommands()
{
    for (QProcess *p : std::as_const(m_running)) {
        p->disconnect(this);
        endGroup(p, SIGKILL);
        p->waitForFinished(1000);
    }
}

void AlarmCommands::run(const QString &what, const QProcessEnvironment &env)
{
    if (m_finishing && !m_done)
        return;
    if (m_running.size() >= MaxRunning) {
        m_queue.append({what, env});
        return;
    }
    start({what, env});
}

void AlarmCommands::start(const Waiting &w)
{
    auto *p = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(w.env);
    p->setProcessEnvironment(env);
    p->setProgram(QStringLiteral("/bin/sh"));
    p->setArguments({QStringLiteral("-c"), m_command});
    p->setStandardInputFile(QProcess::nullDevice());
    p->setProcessChannelMode(QProcess::MergedChannels);
    // A group of its own, so that what the command starts ends with it.
    p->setChildProcessModifier([] { ::setpgid(0, 0); });
    p->setProperty("what", w.what);
    connect(p, &QProcess::readyReadStandardOutput, this,
            [this, p] { emit output(p->readAllStandardOutput()); });
    connect(p, &QProcess::finished, this, [this, p] { ended(p); });
    connect(p, &QProcess::errorOccurred, this, [this, p](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            emit said(QStringLiteral("Could not run the --on-alarm command for the alarm %1: %2.")
                          .arg(p->property("what").toString(), p->errorString()));
            ended(p);
        }
    });
    auto *limit = new QTimer(p);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, p, [this, p] {
        emit said(QStringLiteral("The --on-alarm command for the alarm %1 ran for %2 s and is "
                                 "ended.")
                      .arg(p->property("what").toString())
                      .arg(m_limitMs / 1000.0));
        p->setProperty("ended", true);
        endGroup(p, SIGTERM);
        QTimer::singleShot(2000, p, [this, p] { endGroup(p, SIGKILL); });
    });
    m_running.append(p);
    p->start();
    limit->start(m_limitMs);
}

void AlarmCommands::endGroup(QProcess *p, int signal)
{
    const qint64 pid = p->processId();
    if (pid > 0 && p->state() != QProcess::NotRunning)
        ::kill(-pid_t(pid), signal);
}

void AlarmCommands::ended(QProcess *p)
{
    if (!m_running.removeOne(p))
        return;
    emit output(p->readAllStandardOutput());
    if (p->error() != QProcess::FailedToStart && !p->property("ended").toBool() &&
        (p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0))
        emit said(QStringLiteral("The --on-alarm command for the alarm %1 ended with %2.")
                      .arg(p->property("what").toString(),
                           p->exitStatus() == QProcess::NormalExit
                               ? QStringLiteral("status %1").arg(p->exitCode())
                               : QStringLiteral("a signal")));
    p->deleteLater();
    while (!m_queue.isEmpty() && m_running.size() < MaxRunning)
        start(m_queue.takeFirst());
    checkFinished();
}

void AlarmCommands::finishThen(int ms, std::function<void()> done)
{
    m_finishing = true;
    m_done = std::move(done);
    QTimer::singleShot(ms, this, [this] {
        if (!m_done)
            return;
        if (!m_queue.isEmpty())
            emit said(QStringLiteral("%1 alarm events were not given to the --on-alarm command: "
                                     "the run ended before it was their turn.")
                          .arg(m_queue.size()));
        m_queue.clear();
        for (QProcess *p : std::as_const(m_running)) {
            emit said(QStringLiteral("The --on-alarm command for the alarm %1 is still running "
                                     "at the end and is ended.")
                          .arg(p->property("what").toString()));
            p->setProperty("ended", true);
            endGroup(p, SIGKILL);
        }
        for (QProcess *p : std::as_const(m_running))
            p->waitForFinished(1000);
        // Whatever has not said finished by now is forgotten.
        for (QProcess *p : std::exchange(m_running, {})) {
            p->disconnect(this);
            emit output(p->readAllStandardOutput());
        }
        checkFinished();
    });
    checkFinished();
}

void AlarmCommands::checkFinished()
{
    if (m_done && m_running.isEmpty() && m_queue.isEmpty())
        std::exchange(m_done, nullptr)();
}

void AlarmCommands::follow(AlarmMonitor &monitor)
{
    connect(&monitor, &AlarmMonitor::alarm, this, [this](const AlarmEvent &e, const QString &unit) {
        // The command runs on its own; the run never waits for it.
        run(AlarmRules::kindName(e.Kind) +
                (e.Start ? QStringLiteral(" start") : QStringLiteral(" end")),
            environment(e, unit));
    });
}

QProcessEnvironment AlarmCommands::environment(const AlarmEvent &e, const QString &unit)
{
    const auto time = [](const QDateTime &t) {
        return QString::fromLatin1(CaptureTime::text(MeasurementTable::packTime(t)));
    };
    QProcessEnvironment env;
    env.insert(QStringLiteral("TX9_ALARM"), AlarmRules::kindName(e.Kind));
    env.insert(QStringLiteral("TX9_STATE"),
               e.Start ? QStringLiteral("start") : QStringLiteral("end"));
    env.insert(QStringLiteral("TX9_VALUE"), AlarmLog::number(e.Value));
    env.insert(QStringLiteral("TX9_LIMIT"), AlarmLog::number(e.Limit));
    env.insert(QStringLiteral("TX9_TIME"), time(e.Time));
    env.insert(QStringLiteral("TX9_START"), time(e.BreachStart));
    env.insert(QStringLiteral("TX9_SECONDS"), QString::number(e.Seconds, 'f', 3));
    env.insert(QStringLiteral("TX9_UNIT"), unit);
    env.insert(QStringLiteral("TX9_DETAIL"), e.Detail);
    return env;
}

OptionEntry AlarmCommands::option()
{
    return {{QStringLiteral("on-alarm")},
            "CMD",
            "run CMD (with sh) at each alarm start and end, with\n"
            "TX9_ALARM (high, low, no reading, ...), TX9_STATE\n"
            "(start, end), TX9_VALUE, TX9_LIMIT, TX9_UNIT, TX9_START\n"
            "(when the breach began), TX9_TIME (of this event),\n"
            "TX9_SECONDS (from start to time) and TX9_DETAIL (what\n"
            "is wrong; \"ended: the run stopped\" for an alarm the\n"
            "run's end ended) in its environment;\n"
            "its output goes to standard error, at most 4 run at\n"
            "once and one running past 60 s is ended",
            OptionEntry::Where::Both,
            [](OutputOptions &o, const QString &v) { o.OnAlarm = v; },
            "hysteresis"};
}
