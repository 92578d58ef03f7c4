// tx9-logger-demo: the same program on a simulated thermometer behind a simulated cable,
// plugged in at start so that "USB Connect" works at once. Its own options (see --help) walk
// the paths of a real cable by hand: pulling and plugging it, another device coming and
// going, a download of a chosen size. They work with and without --headless.

#include "app/Application.h"
#include "app/RD7F.h"
#include "app/WindowPublishing.h"
#include "headless/Headless.h"
#include "sim/SimulatedThermometer.h"
#include "timechart/TimeChart.h"

#include <QMap>
#include <QPushButton>
#include <QTimer>

namespace {

const QList<Headless::WindowOption> DemoOptions = {
    {"screenshot", true, "(window) connect, save a PNG of the window to file N, exit"},
    {"seconds", true, "(window) seconds of readings before the picture (default 10)"},
    {"connect", false, "(window) press USB Connect at start"},
    {"unplug-after", true, "pull the simulated cable N seconds after the start"},
    {"replug-after", true, "plug it in again N seconds after the start"},
    {"plug-other-after", true, "plug an unrelated HID device after N seconds, pull it 1 s later"},
    {"stored", true, "readings the simulated instrument holds for a download (default 25)"},
    {"plug-after", true, "start without the cable, plug it in N seconds after the start"},
    {"time-chart", true, "(window) open the Time Chart; with --screenshot, its PNG to file N"},
    {"cable", true,
     "a thermometer cable N=NODE,SERIAL,PORT,UNIT (C or F)[,SEED] in place of the default one; "
     "may be given again for more, each with its own walk of temperatures (SEED, else one of "
     "its own). A NODE that is a file is locked as a real node is"},
    {"seed", true, "the default thermometer's walk of temperatures starts from seed N"},
    {"fahrenheit", false, "the default thermometer shows degrees Fahrenheit"},
    {"over-range-at", true, "the thermometer shows over range (0L) for 2 s from N seconds in"},
    {"breach-at", true, "the temperature is 10 degrees higher for 30 s from N seconds in"},
};

// The simulated thermometer as the options ask (the index-th cable: a walk of its own).
ThermometerSettings thermometer(const QMap<QString, QString> &o, int index)
{
    ThermometerSettings t;
    t.Seed = o.contains(QStringLiteral("seed")) ? o.value(QStringLiteral("seed")).toUInt()
                                                : t.Seed + quint32(index) * 7919;
    t.Fahrenheit = o.contains(QStringLiteral("fahrenheit"));
    if (o.contains(QStringLiteral("over-range-at")))
        t.OverRangeAtS = o.value(QStringLiteral("over-range-at")).toDouble();
    if (o.contains(QStringLiteral("breach-at")))
        t.BreachAtS = o.value(QStringLiteral("breach-at")).toDouble();
    return t;
}

// The demo's own options taken off the arguments (name to value; a flag's value is empty),
// leaving the rest for the program.
QMap<QString, QString> takeDemoOptions(QStringList &args)
{
    QMap<QString, QString> taken;
    for (qsizetype i = 1; i < args.size();) {
        QString name = args[i];
        if (!name.startsWith(QLatin1String("--"))) {
            ++i;
            continue;
        }
        name = name.mid(2);
        QString value;
        const qsizetype eq = name.indexOf(QLatin1Char('='));
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name.truncate(eq);
        }
        const auto o = std::find_if(DemoOptions.cbegin(), DemoOptions.cend(),
                                    [&](const auto &d) { return name == QLatin1String(d.name); });
        if (o == DemoOptions.cend()) {
            ++i;
            continue;
        }
        args.removeAt(i);
        if (o->takesValue && eq < 0 && i < args.size())
            value = args.takeAt(i);
        // Given again: the values one per line.
        taken.insert(name, taken.contains(name) ? taken.value(name) + '\n' + value : value);
    }
    return taken;
}

int millisecondsOf(const QString &seconds)
{
    return int(seconds.toDouble() * 1000);
}

// The simulated bus with the thermometer's cable, and what the options do to it.
struct Simulation
{
    SimulatedHidBus bus;
    std::shared_ptr<SimulatedThermometer> meter = std::make_shared<SimulatedThermometer>();
    int cable = -1;
    // What --unplug-after takes away and --replug-after brings back: the first cable, with
    // its own path, serial number and meter.
    VirtualInterface cableInterface = SimulatedThermometer::cableInterface();

    // The cable, plugged at once (before any window lists the devices) or later; or the
    // cables of --cable, at once.
    void plug(const QMap<QString, QString> &o, QObject *context)
    {
        meter = std::make_shared<SimulatedThermometer>(thermometer(o, 0));
        if (o.contains(QStringLiteral("cable"))) {
            int index = 0;
            for (const QString &given : o.value(QStringLiteral("cable")).split('\n')) {
                const QStringList f = given.split(QLatin1Char(','));
                VirtualInterface v = SimulatedThermometer::cableInterface();
                v.Path = f.value(0);
                v.InstanceId = QStringLiteral("sim/") + v.Path;
                v.Serial = f.value(1);
                if (!v.Serial.isEmpty())
                    v.Properties.insert(QStringLiteral("serial"), v.Serial);
                if (!f.value(2).isEmpty())
                    v.Properties.insert(QStringLiteral("usb_port"), f.value(2));
                ThermometerSettings settings = thermometer(o, index++);
                settings.Fahrenheit = f.value(3) == QLatin1String("F");
                if (!f.value(4).isEmpty())
                    settings.Seed = f.value(4).toUInt();
                auto own = std::make_shared<SimulatedThermometer>(settings);
                const int id = bus.plug(v, own);
                if (cable < 0) {
                    cable = id;
                    cableInterface = v;
                    meter = own;
                }
            }
            return;
        }
        if (o.contains(QStringLiteral("plug-after")))
            QTimer::singleShot(
                millisecondsOf(o.value(QStringLiteral("plug-after"))), context,
                [this] { cable = bus.plug(SimulatedThermometer::cableInterface(), meter); });
        else
            cable = bus.plug(SimulatedThermometer::cableInterface(), meter);
    }

    void apply(const QMap<QString, QString> &o, QObject *context)
    {
        if (o.contains(QStringLiteral("stored"))) {
            QList<SimulatedThermometer::Stored> memory;
            const int n = qMax(0, o.value(QStringLiteral("stored")).toInt());
            for (int i = 0; i < n; ++i)
                memory.append({QStringLiteral("1"),
                               QStringLiteral("%1").arg(200 + 7 * i % 90, 4, 10, QChar('0'))});
            meter->setMemory(memory);
        }
        if (o.contains(QStringLiteral("unplug-after")))
            QTimer::singleShot(millisecondsOf(o.value(QStringLiteral("unplug-after"))), context,
                               [this] { bus.unplug(cable); });
        if (o.contains(QStringLiteral("replug-after")))
            QTimer::singleShot(millisecondsOf(o.value(QStringLiteral("replug-after"))), context,
                               [this] { cable = bus.plug(cableInterface, meter); });
        if (o.contains(QStringLiteral("plug-other-after")))
            QTimer::singleShot(millisecondsOf(o.value(QStringLiteral("plug-other-after"))), context,
                               [this, context] {
                                   VirtualInterface mouse;
                                   mouse.InstanceId = QStringLiteral("demo-mouse");
                                   mouse.Product = QStringLiteral("Mouse");
                                   mouse.Attributes = {0x046d, 0xc077, 1};
                                   const int id = bus.plug(mouse);
                                   QTimer::singleShot(1000, context,
                                                      [this, id] { bus.unplug(id); });
                               });
    }
};

} // namespace

int main(int argc, char **argv)
{
    const auto simulated = [](QStringList &args, QObject *context) {
        const QMap<QString, QString> demo = takeDemoOptions(args);
        const auto sim = std::make_shared<Simulation>();
        sim->plug(demo, context);
        sim->apply(demo, context);
        return std::shared_ptr<HidPlatform>(sim, &sim->bus);
    };
    if (const std::optional<int> status = runWithoutWindow(argc, argv, simulated, DemoOptions))
        return *status;
    Tx9Application app(argc, argv);
    QStringList args = app.arguments();
    const QMap<QString, QString> demo = takeDemoOptions(args);
    if (const std::optional<int> status = checkWindowArguments(args))
        return *status;

    Simulation sim;
    sim.plug(demo, &app);
    TFCOMM window(&sim.bus);
    if (const std::optional<int> status = openWindow(window, args))
        return *status;
    sim.apply(demo, &window);
    if (demo.contains(QStringLiteral("connect")) && !demo.contains(QStringLiteral("screenshot")))
        QTimer::singleShot(0, &window, [&window] { window.USBCon->click(); });
    if (demo.contains(QStringLiteral("time-chart")))
        QTimer::singleShot(0, &window, [&window] { window.showTimeChart(); });
    if (demo.contains(QStringLiteral("screenshot"))) {
        const QString file = demo.value(QStringLiteral("screenshot"));
        const int ms = millisecondsOf(demo.value(QStringLiteral("seconds"), QStringLiteral("10")));
        QTimer::singleShot(0, &window, [&window] { window.USBCon->click(); });
        const QString chartFile = demo.value(QStringLiteral("time-chart"));
        QTimer::singleShot(ms, &window, [&window, file, chartFile] {
            bool ok = window.grab().save(file);
            if (!chartFile.isEmpty() && window.timeChart())
                ok = window.timeChart()->grab().save(chartFile) && ok;
            QApplication::exit(ok ? 0 : 1);
        });
    }
    return app.exec();
}
