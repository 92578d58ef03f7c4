// A long run of the demo's simulated thermometer: connected, sampling interval 0, no record
// limit, disconnecting and reconnecting every simulated hour and pulling and replugging the
// cable every six. Prints the rows recorded against the frames sent, resident memory every
// simulated hour, and the CPU time.
//   bench_soak [--hours 24] [--speed 100]

#include "BenchUtil.h"
#include "QuietPrompts.h"
#include "app/Application.h"
#include "app/RD7F.h"
#include "recording/MeasurementTable.h"
#include "sim/SimulatedThermometer.h"

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The recovery journal runs, as in real use, in a folder of its own.
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    Tx9Application app(argc, argv);
    double hours = 24, speed = 100;
    for (int i = 1; i + 1 < argc; ++i) {
        if (QByteArray(argv[i]) == "--hours")
            hours = QByteArray(argv[i + 1]).toDouble();
        if (QByteArray(argv[i]) == "--speed")
            speed = QByteArray(argv[i + 1]).toDouble();
    }
    QuietPrompts prompts;
    Prompts::install(&prompts);

    SimulatedHidBus bus;
    bus.setTimeScale(speed);
    auto meter = std::make_shared<SimulatedThermometer>();
    int cable = bus.plug(SimulatedThermometer::cableInterface(), meter);
    TFCOMM w(&bus);
    w.show();
    w.RecordSITime->setText(QStringLiteral("0"));
    w.limitess->trigger();
    w.USBCon->click();

    const int hourMs = int(3600 * 1000 / speed);
    const int totalHours = int(hours);
    int hour = 0, breaks = 0;
    long lastRss = 0;
    qint64 lastRows = 0;
    const double cpu0 = Bench::cpuSeconds();
    const long rss0 = Bench::statusKb("VmRSS");
    QElapsedTimer wall;
    wall.start();
    std::printf("hour 0: rss %.1f MiB\n", rss0 / 1024.0);
    QTimer hourly;
    QObject::connect(&hourly, &QTimer::timeout, [&] {
        ++hour;
        const long rss = Bench::statusKb("VmRSS");
        const qint64 rows = w.cds1->count();
        // Growth in this hour per row stored in it: what each further row costs.
        std::printf(
            "hour %d: rows %lld, frames sent %lld, rss %.1f MiB, this hour %.1f bytes/row\n", hour,
            static_cast<long long>(rows), static_cast<long long>(meter->liveFramesSent()),
            rss / 1024.0,
            hour > 1 && rows > lastRows ? (rss - lastRss) * 1024.0 / double(rows - lastRows) : 0.0);
        lastRss = rss;
        lastRows = rows;
        std::fflush(stdout);
        if (hour >= totalHours) {
            w.USBCon->click();         // disconnect
            QCoreApplication::exit(0); // quit() would ask the exit question
            return;
        }
        if (hour % 6 == 0) {
            // Pull the cable and plug it back in; the user connects again.
            bus.unplug(cable);
            cable = bus.plug(SimulatedThermometer::cableInterface(), meter);
            w.USBCon->click();
        } else {
            w.USBCon->click(); // disconnect
            w.USBCon->click(); // connect
        }
        ++breaks;
    });
    hourly.start(hourMs);
    QCoreApplication::exec();

    const qint64 rows = w.cds1->count();
    const qint64 sent = meter->liveFramesSent();
    Bench::print("simulated hours", hour, "");
    Bench::print("live frames sent in full", double(sent), "");
    Bench::print("rows recorded", double(rows), "");
    Bench::print("frames sent minus rows", double(sent - rows), "(the rules drop none here)");
    Bench::print("disconnects and replugs", breaks, "");
    Bench::print("messages shown", prompts.messages, "");
    Bench::print("wall time", wall.elapsed() / 1000.0, "s");
    Bench::print("growth per row over the run",
                 (Bench::statusKb("VmRSS") - rss0) * 1024.0 / double(std::max<qint64>(1, rows)),
                 "bytes (start-up allocations included)");
    Bench::print("cpu time", Bench::cpuSeconds() - cpu0, "s");
    Bench::print("cpu share", (Bench::cpuSeconds() - cpu0) / (wall.elapsed() / 1000.0) * 100,
                 "% of one core");
    return 0;
}
