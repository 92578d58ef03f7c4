// The headless program as a process: its command line read, the stop signals turned into a
// clean stop, and the run driven until it has ended.

#include "headless/Headless.h"

#include "mqtt/MqttOptions.h"
#include "output/ErrWriter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace Headless {

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signal)
{
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

int run(const QStringList &arguments, HidPlatform *platform, const QString &extraHelp)
{
    const Parsed parsed = parse(arguments, extraHelp);
    if (!parsed.options) {
        const QByteArray text = parsed.message.toLocal8Bit();
        [[maybe_unused]] const ssize_t n =
            ::write(parsed.status == Ok ? 1 : 2, text.constData(), size_t(text.size()));
        return parsed.status;
    }
    const Options &options = *parsed.options;

    // A reader of standard output that goes away (`| head`) ends the run cleanly.
    ::signal(SIGPIPE, SIG_IGN);
    // A file size limit makes a write fail (EFBIG) like a full disk, instead of killing.
    ::signal(SIGXFSZ, SIG_IGN);
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return Failure;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // The end of an SSH session: stopped as cleanly as by SIGTERM.
    ::sigaction(SIGHUP, &action, nullptr);

    HeadlessRun run(options, platform, 1, 2, !options.Quiet && ::isatty(2));
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &run, [&run] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        run.stop();
    });
    QEventLoop loop;
    QObject::connect(&run, &HeadlessRun::finished, &loop, &QEventLoop::exit, Qt::QueuedConnection);
    run.start();
    const int status = loop.exec();
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    return status;
}

namespace {
ReportWriter theReportWriter;
} // namespace

void setReportWriter(ReportWriter writer)
{
    theReportWriter = std::move(writer);
}

const ReportWriter &reportWriter()
{
    return theReportWriter;
}

std::optional<int> startProgram(int argc, char **argv, const PlatformFor &platformFor,
                                const QList<WindowOption> &windowOptions, const AppFactory &makeApp)
{
    ErrWriter::guardStandardDescriptors();
    if (const std::optional<int> status = Mqtt::refuseRawTopics(argc, argv))
        return status;
    if (!requested(argc, argv))
        return beforeWindow(argc, argv, windowOptions); // before any window: no display yet
    const std::unique_ptr<QCoreApplication> app =
        makeApp ? makeApp(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    app->setApplicationName(QStringLiteral("tx9-logger"));
    QStringList arguments = app->arguments();
    const std::shared_ptr<HidPlatform> platform = platformFor(arguments, app.get());
    return run(arguments, platform.get(),
               windowOptions.isEmpty() ? QString() : windowOptionsHelp(windowOptions));
}

} // namespace Headless
