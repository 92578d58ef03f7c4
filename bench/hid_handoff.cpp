// Reports handed from a reader thread to a handler on the GUI thread: how many per second,
// and what a connected, idle cable costs in CPU time.

#include "BenchUtil.h"
#include "sim/SimulatedHidBus.h"
#include "sim/SimulatedThermometer.h"
#include "usb/HidControllerClass.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

namespace {

// Sends the same report again and again, `gapUs` apart (the flood: 2 us, half a million a
// second offered; what the reader cannot take falls off the 64-report queue as in the kernel).
class Repeater : public VirtualHidModel
{
public:
    explicit Repeater(qint64 gapUs) : m_gap(gapUs) {}
    std::optional<std::pair<qint64, QByteArray>> next() override
    {
        return std::make_pair(m_gap,
                              QByteArray("\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 11));
    }

private:
    qint64 m_gap;
};

struct Counter
{
    qint64 reports = 0;
    void Data(THidDevice *, quint8, const quint8 *, quint16) { ++reports; }
};

double run(qint64 gapUs, int ms, double *cpuShare)
{
    SimulatedHidBus bus;
    VirtualInterface v;
    v.InstanceId = "cable";
    v.Product = "USB to Serial";
    bus.plug(v, std::make_shared<Repeater>(gapUs));
    THidDeviceController ctl(&bus);
    Counter counter;
    THidDevice *dev = nullptr;
    ctl.ClaimDeviceAt(dev, 0);
    const double cpu0 = Bench::cpuSeconds();
    QElapsedTimer t;
    t.start();
    dev->SetDataHandler(THidDataEvent(&counter, &Counter::Data));
    QTimer::singleShot(ms, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    dev->SetDataHandler(THidDataEvent());
    const double wall = t.nsecsElapsed() / 1e9;
    if (cpuShare)
        *cpuShare = (Bench::cpuSeconds() - cpu0) / wall;
    ctl.ReleaseDevice(dev);
    return counter.reports / wall;
}

// The meter at 2400-baud timing while the GUI thread is blocked for two seconds: how many
// reports the bus (like the kernel, 64 unread at most) had to drop, and how many came late.
void blockedGui()
{
    ThermometerSettings settings;
    settings.ByteGapUs = 37'500; // up to nine serial bytes at 2400 baud
    SimulatedHidBus bus;
    auto meter = std::make_shared<SimulatedThermometer>(settings);
    const int id = bus.plug(SimulatedThermometer::cableInterface(), meter);
    THidDeviceController ctl(&bus);
    Counter counter;
    THidDevice *dev = nullptr;
    ctl.ClaimDeviceAt(dev, 0);
    const quint8 baud[10] = {0, 0x60, 0x09, 0, 0, 3};
    dev->SendFeature(baud, 10);
    const quint8 live[11] = {0, 1, 90};
    int written = 0;
    dev->WriteReport(live, 11, written);
    dev->SetDataHandler(THidDataEvent(&counter, &Counter::Data));
    QTimer::singleShot(500, qApp, [] { QThread::msleep(2000); });
    QTimer::singleShot(3500, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    dev->SetDataHandler(THidDataEvent());
    Bench::print("reports handled in 3.5 s with the GUI thread blocked 2 s",
                 double(counter.reports), "");
    Bench::print("reports lost meanwhile", double(bus.droppedReports(id)), "(target 0)");
    ctl.ReleaseDevice(dev);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    double share = 0;
    Bench::print("reports handed off per second", run(2, 3000, &share), "(target >= 20000)");
    Bench::print("cpu while flooding", share * 100, "% of one core");
    const double idleRate = run(10000, 5000, &share);
    Bench::print("idle reports per second at 10 ms", idleRate, "");
    Bench::print("cpu while idle-connected", share * 100, "% of one core (target <= 2)");
    blockedGui();
    return 0;
}
