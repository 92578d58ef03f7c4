// tx9-logger-demo: the same program on a simulated thermometer behind a simulated cable,
// plugged in at start so that "USB Connect" works at once.
//   --screenshot FILE   connect, let readings arrive, save a PNG of the main window and exit
//   --seconds N         how long readings arrive before the picture (default 10)
//   --unplug-after N    pull the simulated cable after N seconds
//   --connect           press "USB Connect" at start
//   --headless ...      log without a window, as tx9-logger --headless (see --help)

#include "app/Application.h"
#include "app/RD7F.h"
#include "session/Headless.h"
#include "sim/SimulatedThermometer.h"

#include <QCommandLineParser>
#include <QPushButton>
#include <QTimer>

namespace {
const QList<Headless::WindowOption> DemoOptions = {
    {"screenshot", true, "connect, save a PNG of the window to the file N, exit"},
    {"seconds", true, "seconds of readings before the picture (default 10)"},
    {"unplug-after", true, "pull the simulated cable after N seconds"},
    {"connect", false, "press USB Connect at start"},
};
} // namespace

int main(int argc, char **argv)
{
    if (Headless::requested(argc, argv)) {
        QCoreApplication app(argc, argv);
        app.setApplicationName(QStringLiteral("tx9-logger"));
        SimulatedHidBus bus;
        bus.plug(SimulatedThermometer::cableInterface(), std::make_shared<SimulatedThermometer>());
        return Headless::run(app.arguments(), &bus, Headless::windowOptionsHelp(DemoOptions));
    }
    if (const std::optional<int> status = Headless::beforeWindow(argc, argv, DemoOptions))
        return *status;
    Tx9Application app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TX-9 Logger on a simulated thermometer"));
    parser.addHelpOption();
    const QCommandLineOption shotOpt(
        QStringLiteral("screenshot"),
        QStringLiteral("Connect, save a PNG of the main window, exit."), QStringLiteral("file"));
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"),
                                        QStringLiteral("Seconds of readings before the picture."),
                                        QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption unplugOpt(QStringLiteral("unplug-after"),
                                       QStringLiteral("Pull the simulated cable after n seconds."),
                                       QStringLiteral("n"));
    const QCommandLineOption connectOpt(QStringLiteral("connect"),
                                        QStringLiteral("Press USB Connect at start."));
    parser.addOptions({shotOpt, secondsOpt, unplugOpt, connectOpt});
    parser.process(app);

    SimulatedHidBus bus;
    auto thermometer = std::make_shared<SimulatedThermometer>();
    const int cable = bus.plug(SimulatedThermometer::cableInterface(), thermometer);

    TFCOMM window(&bus);
    window.show();
    QTimer::singleShot(0, &window, &TFCOMM::offerRecovery);

    if (parser.isSet(unplugOpt)) {
        const int ms = int(parser.value(unplugOpt).toDouble() * 1000);
        QTimer::singleShot(ms, &window, [&bus, cable] { bus.unplug(cable); });
    }
    if (parser.isSet(connectOpt) && !parser.isSet(shotOpt))
        QTimer::singleShot(0, &window, [&window] { window.USBCon->click(); });
    if (parser.isSet(shotOpt)) {
        const QString file = parser.value(shotOpt);
        const int ms = int(parser.value(secondsOpt).toDouble() * 1000);
        QTimer::singleShot(0, &window, [&window] { window.USBCon->click(); });
        QTimer::singleShot(ms, &window, [&window, file] {
            const bool ok = window.grab().save(file);
            QApplication::exit(ok ? 0 : 1);
        });
    }
    return app.exec();
}
