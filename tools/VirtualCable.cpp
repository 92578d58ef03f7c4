// tx9-virtual-cable: the simulated thermometer behind a real kernel HID device made through
// /dev/uhid. The program (or anything else) sees it as /dev/hidrawN, a "USB to Serial" cable
// with a meter attached: it takes the baud-rate feature report and the command reports and
// sends the input reports at the instrument's own pace.
//
//   tx9-virtual-cable [--product NAME] [--vid HEX] [--pid HEX] [--feature-length N]
//                     [--numbered] [--no-meter]
//
// SIGUSR1 unplugs the cable (the kernel device is destroyed), SIGUSR2 plugs it back in,
// SIGINT and SIGTERM end it. Each report it receives is printed on standard output as
// "feature|output <type> <length>: <hex bytes>", and each live frame sent in full as
// "live <count>".

#include "sim/SimulatedThermometer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/uhid.h>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_unplug = 0, g_replug = 0, g_quit = 0;

struct Options
{
    QByteArray product = "USB to Serial";
    quint32 vid = 0x1A86, pid = 0xE008;
    int featureLength = 10; // report-ID byte included, as the program counts it
    bool numbered = false;
    bool meter = true;
};

// A vendor-defined descriptor like the real cable's: 10 bytes in (a count byte and up to 9
// serial bytes), 10 bytes out, and the feature report; with --numbered all carry report ID 1.
QByteArray descriptor(const Options &o)
{
    QByteArray d = QByteArray::fromHex("0600FF0901A10115002600FF7508");
    if (o.numbered)
        d += QByteArray::fromHex("8501");
    d += QByteArray::fromHex("950A09018102"); // input
    d += QByteArray::fromHex("950A09019102"); // output
    d += QByteArray::fromHex("95");
    d += char(o.featureLength - 1);
    d += QByteArray::fromHex("0901B102C0"); // feature
    return d;
}

bool send(int fd, const uhid_event &ev)
{
    return ::write(fd, &ev, sizeof ev) == ssize_t(sizeof ev);
}

bool create(int fd, const Options &o)
{
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::strncpy(reinterpret_cast<char *>(ev.u.create2.name), o.product.constData(),
                 sizeof ev.u.create2.name - 1);
    std::strncpy(reinterpret_cast<char *>(ev.u.create2.phys), "tx9-virtual-cable",
                 sizeof ev.u.create2.phys - 1);
    const QByteArray d = descriptor(o);
    ev.u.create2.rd_size = quint16(d.size());
    std::memcpy(ev.u.create2.rd_data, d.constData(), size_t(d.size()));
    ev.u.create2.bus = 0x03; // BUS_USB
    ev.u.create2.vendor = o.vid;
    ev.u.create2.product = o.pid;
    ev.u.create2.version = 0x0100;
    return send(fd, ev);
}

void destroy(int fd)
{
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    send(fd, ev);
}

void print(const char *what, const quint8 *data, int size, int rtype)
{
    std::printf("%s %d %d: %s\n", what, rtype, size,
                QByteArray(reinterpret_cast<const char *>(data), size).toHex(' ').constData());
    std::fflush(stdout);
}

// Answers what the host asks of the device.
void handle(int fd, const uhid_event &ev, VirtualHidModel *model, const Options &o)
{
    switch (ev.type) {
    case UHID_OUTPUT: {
        print("output", ev.u.output.data, ev.u.output.size, ev.u.output.rtype);
        if (model)
            model->outputReport(
                QByteArray(reinterpret_cast<const char *>(ev.u.output.data), ev.u.output.size));
        break;
    }
    case UHID_SET_REPORT: {
        print("feature", ev.u.set_report.data, ev.u.set_report.size, ev.u.set_report.rtype);
        QByteArray report(reinterpret_cast<const char *>(ev.u.set_report.data),
                          ev.u.set_report.size);
        if (o.numbered)
            report[0] = 0; // the model knows one report of each kind
        const bool ok = !model || model->featureReport(report);
        uhid_event reply{};
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = ev.u.set_report.id;
        reply.u.set_report_reply.err = ok ? 0 : EIO;
        send(fd, reply);
        break;
    }
    case UHID_GET_REPORT: {
        uhid_event reply{};
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = ev.u.get_report.id;
        reply.u.get_report_reply.err = EIO; // nothing is ever read back
        send(fd, reply);
        break;
    }
    default:
        break;
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == "--product")
            o.product = next.toUtf8(), ++i;
        else if (a == "--vid")
            o.vid = next.toUInt(nullptr, 16), ++i;
        else if (a == "--pid")
            o.pid = next.toUInt(nullptr, 16), ++i;
        else if (a == "--feature-length")
            o.featureLength = qBound(2, next.toInt(), 64), ++i;
        else if (a == "--numbered")
            o.numbered = true;
        else if (a == "--no-meter")
            o.meter = false;
        else {
            std::fprintf(stderr, "usage: tx9-virtual-cable [--product NAME] [--vid HEX] "
                                 "[--pid HEX] [--feature-length N] [--numbered] [--no-meter]\n");
            return 2;
        }
    }
    std::signal(SIGUSR1, [](int) { g_unplug = 1; });
    std::signal(SIGUSR2, [](int) { g_replug = 1; });
    std::signal(SIGINT, [](int) { g_quit = 1; });
    std::signal(SIGTERM, [](int) { g_quit = 1; });

    const int fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror("tx9-virtual-cable: /dev/uhid");
        return 1;
    }
    // At 2400 baud a report of up to nine serial bytes takes up to 37.5 ms to fill.
    ThermometerSettings settings;
    settings.ByteGapUs = 37'500;
    auto meter = o.meter ? std::make_unique<SimulatedThermometer>(settings) : nullptr;
    bool plugged = create(fd, o);
    if (!plugged) {
        std::perror("tx9-virtual-cable: UHID_CREATE2");
        return 1;
    }
    std::printf("plugged\n");
    std::fflush(stdout);

    using clock = std::chrono::steady_clock;
    auto due = clock::now();
    std::optional<std::pair<qint64, QByteArray>> upcoming;
    while (!g_quit) {
        if (g_unplug && plugged) {
            g_unplug = 0;
            destroy(fd);
            plugged = false;
            std::printf("unplugged\n");
            std::fflush(stdout);
        }
        if (g_replug && !plugged) {
            g_replug = 0;
            plugged = create(fd, o);
            meter = o.meter ? std::make_unique<SimulatedThermometer>(settings) : nullptr;
            upcoming.reset();
            due = clock::now();
            std::printf("plugged\n");
            std::fflush(stdout);
        }
        // The meter's next report, on the device's own clock.
        if (plugged && meter && !upcoming) {
            const qint64 live = meter->liveFramesSent();
            upcoming = meter->next();
            if (meter->liveFramesSent() != live) {
                std::printf("live %lld\n", meter->liveFramesSent());
                std::fflush(stdout);
            }
            if (upcoming)
                due += std::chrono::microseconds(upcoming->first);
        }
        const auto now = clock::now();
        int waitMs = 50;
        if (upcoming)
            waitMs = int(std::clamp<qint64>(
                std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count(), 0, 50));
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN)) {
            uhid_event ev{};
            if (::read(fd, &ev, sizeof ev) > 0)
                handle(fd, ev, meter.get(), o);
        }
        if (plugged && upcoming && clock::now() >= due) {
            // The model's reports start with the report ID 0; an unnumbered device sends the
            // bytes after it.
            const QByteArray r = upcoming->second;
            uhid_event ev{};
            ev.type = UHID_INPUT2;
            const QByteArray data = o.numbered ? QByteArray(1, char(1)) + r.mid(1) : r.mid(1);
            ev.u.input2.size = quint16(data.size());
            std::memcpy(ev.u.input2.data, data.constData(), size_t(data.size()));
            send(fd, ev);
            upcoming.reset();
            if (clock::now() - due > std::chrono::milliseconds(200))
                due = clock::now(); // a long stall (the host not reading) restarts the clock
        }
    }
    if (plugged)
        destroy(fd);
    ::close(fd);
    return 0;
}
