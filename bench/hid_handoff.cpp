// Reports handed from a reader thread to a handler on the GUI thread: how many per second,
// and what a connected, idle cable costs in CPU time.

#include "BenchUtil.h"
#include "sim/SimulatedHidBus.h"
#include "usb/HidControllerClass.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace {

// Sends the same report again and again, `gapUs` apart.
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    double share = 0;
    Bench::print("reports handed off per second", run(0, 3000, &share), "(target >= 20000)");
    Bench::print("cpu while flooding", share * 100, "% of one core");
    const double idleRate = run(10000, 5000, &share);
    Bench::print("idle reports per second at 10 ms", idleRate, "");
    Bench::print("cpu while idle-connected", share * 100, "% of one core (target <= 2)");
    return 0;
}
