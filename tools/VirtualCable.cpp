// tx9-virtual-cable: the simulated thermometer behind a real kernel HID device made through
// /dev/uhid, or with --gadget a real USB device made through the USB gadget stack. The
// program (or anything else) sees it as /dev/hidrawN, a "USB to Serial" cable with a meter
// attached: it takes the baud-rate feature report and the command reports and sends the
// input reports at the instrument's own pace.
//
//   tx9-virtual-cable [--gadget [--serial TEXT]] [--product NAME] [--vid HEX] [--pid HEX]
//                     [--feature-length N] [--numbered] [--no-meter]
//
// SIGUSR1 unplugs the cable (the kernel device is destroyed, or the gadget unbound from its
// controller), SIGUSR2 plugs it back in,
// SIGINT and SIGTERM end it. Each report it receives is printed on standard output as
// "feature|output <type> <length>: <hex bytes>", and each live frame sent in full as
// "live <count>".

#include "decode/Protocol.h"
#include "sim/SimulatedThermometer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/uhid.h>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_unplug = 0, g_replug = 0, g_quit = 0;

struct Options
{
    QByteArray product = "USB to Serial";
    quint32 vid = 0x1A86, pid = 0xE008;
    int featureLength = 10; // report-ID byte included, as the program counts it
    bool numbered = false;
    bool gadget = false; // a USB device through the gadget stack instead of uhid
    QByteArray serial;   // the USB serial number string (uhid: the device's unique id)
    int udc = 0;         // the gadget's controller, dummy_udc.N (dummy_hcd num=2 makes two)
    bool fahrenheit = false;
    QByteArray manufacturer = "Norvane";
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

void print(const char *what, const quint8 *data, int size, int rtype)
{
    std::printf("%s %d %d: %s\n", what, rtype, size,
                QByteArray(reinterpret_cast<const char *>(data), size).toHex(' ').constData());
    std::fflush(stdout);
}

// How the cable reaches the kernel: plugged in and out, reports from the host handed to the
// meter, the meter's input reports sent.
class Transport
{
public:
    virtual ~Transport() = default;
    virtual bool plug() = 0;
    virtual void unplug() = 0;
    virtual int fd() const = 0; // readable when the host sent something
    virtual void readable(VirtualHidModel *model) = 0;
    // An input report (the model's, report ID first); false when it must wait.
    virtual bool input(const QByteArray &report) = 0;
};

// A kernel HID device made through /dev/uhid.
class UhidTransport : public Transport
{
public:
    explicit UhidTransport(const Options &o) : m_o(o)
    {
        m_fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
        if (m_fd < 0)
            std::perror("tx9-virtual-cable: /dev/uhid");
    }
    ~UhidTransport() override
    {
        if (m_plugged)
            unplug();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool plug() override
    {
        uhid_event ev{};
        ev.type = UHID_CREATE2;
        std::strncpy(reinterpret_cast<char *>(ev.u.create2.name), m_o.product.constData(),
                     sizeof ev.u.create2.name - 1);
        std::strncpy(reinterpret_cast<char *>(ev.u.create2.phys), "tx9-virtual-cable",
                     sizeof ev.u.create2.phys - 1);
        std::strncpy(reinterpret_cast<char *>(ev.u.create2.uniq), m_o.serial.constData(),
                     sizeof ev.u.create2.uniq - 1);
        const QByteArray d = descriptor(m_o);
        ev.u.create2.rd_size = quint16(d.size());
        std::memcpy(ev.u.create2.rd_data, d.constData(), size_t(d.size()));
        ev.u.create2.bus = 0x03; // BUS_USB
        ev.u.create2.vendor = m_o.vid;
        ev.u.create2.product = m_o.pid;
        ev.u.create2.version = 0x0100;
        m_plugged = m_fd >= 0 && send(m_fd, ev);
        return m_plugged;
    }
    void unplug() override
    {
        uhid_event ev{};
        ev.type = UHID_DESTROY;
        send(m_fd, ev);
        m_plugged = false;
    }
    int fd() const override { return m_fd; }
    void readable(VirtualHidModel *model) override
    {
        uhid_event ev{};
        if (::read(m_fd, &ev, sizeof ev) <= 0)
            return;
        switch (ev.type) {
        case UHID_OUTPUT:
            print("output", ev.u.output.data, ev.u.output.size, ev.u.output.rtype);
            if (model)
                model->outputReport(
                    QByteArray(reinterpret_cast<const char *>(ev.u.output.data), ev.u.output.size));
            break;
        case UHID_SET_REPORT: {
            print("feature", ev.u.set_report.data, ev.u.set_report.size, ev.u.set_report.rtype);
            QByteArray report(reinterpret_cast<const char *>(ev.u.set_report.data),
                              ev.u.set_report.size);
            if (m_o.numbered)
                report[0] = 0; // the model knows one report of each kind
            const bool ok = !model || model->featureReport(report);
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = ev.u.set_report.id;
            reply.u.set_report_reply.err = ok ? 0 : EIO;
            send(m_fd, reply);
            break;
        }
        case UHID_GET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = ev.u.get_report.id;
            reply.u.get_report_reply.err = EIO; // nothing is ever read back
            send(m_fd, reply);
            break;
        }
        default:
            break;
        }
    }
    bool input(const QByteArray &r) override
    {
        // The model's reports start with the report ID 0; an unnumbered device sends the
        // bytes after it.
        uhid_event ev{};
        ev.type = UHID_INPUT2;
        const QByteArray data = m_o.numbered ? QByteArray(1, char(1)) + r.mid(1) : r.mid(1);
        ev.u.input2.size = quint16(data.size());
        std::memcpy(ev.u.input2.data, data.constData(), size_t(data.size()));
        send(m_fd, ev);
        return true;
    }

private:
    const Options &m_o;
    int m_fd = -1;
    bool m_plugged = false;
};

// A USB HID device made through the gadget stack (configfs, the hid function and the dummy
// controller): the host sees a real USB device with its descriptors and strings, reports go
// through usbhid, and the gadget side is /dev/hidg0. The interface has no OUT endpoint, so
// output and feature reports both arrive as SET_REPORT requests, read from /dev/hidg0
// without their report-ID byte; they are told apart by their content (the baud-rate report
// starts with its rate's two bytes, a command report with its kind 1 or 2).
class GadgetTransport : public Transport
{
public:
    explicit GadgetTransport(const Options &o) : m_o(o) {}
    ~GadgetTransport() override
    {
        if (m_made) {
            unplug();
            const QByteArray g = root();
            ::unlink(g + "/configs/c.1/hid.usb0");
            ::rmdir(g + "/configs/c.1/strings/0x409");
            ::rmdir(g + "/configs/c.1");
            ::rmdir(g + "/functions/hid.usb0");
            ::rmdir(g + "/strings/0x409");
            ::rmdir(g);
        }
    }
    bool plug() override
    {
        if (!m_made && !make())
            return false;
        if (!put("UDC", "dummy_udc." + QByteArray::number(m_o.udc)))
            return false;
        // The function's node exists while the gadget does; it works once bound. Its minor
        // number names it: /dev/hidgN.
        QByteArray node = "/dev/hidg0";
        {
            QFile dev(QString::fromUtf8(root() + "/functions/hid.usb0/dev"));
            if (dev.open(QIODevice::ReadOnly)) {
                const QByteArray minor = dev.readAll().trimmed().split(':').value(1);
                if (!minor.isEmpty())
                    node = "/dev/hidg" + minor;
            }
        }
        for (int i = 0; i < 200 && m_fd < 0; ++i) {
            m_fd = ::open(node.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (m_fd < 0)
                ::usleep(10'000);
        }
        if (m_fd < 0 || ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0 ||
            ::pipe2(m_stop, O_CLOEXEC) != 0)
            return false;
        // The function keeps one SET_REPORT: the next request replaces it whether or not it
        // was read. A thread of its own, at a real-time priority, takes each one as soon as
        // it is there, as the cable's firmware would.
        m_reader = std::thread([this] {
            sched_param param{};
            param.sched_priority = 50;
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
            for (;;) {
                pollfd p[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
                if (::poll(p, 2, -1) < 0 && errno != EINTR)
                    return;
                if (p[1].revents)
                    return;
                if (!(p[0].revents & POLLIN))
                    continue;
                quint8 data[64];
                const ssize_t n = ::read(m_fd, data, sizeof data);
                if (n <= 0)
                    continue;
                {
                    const std::lock_guard<std::mutex> lock(m_mutex);
                    m_received.emplace_back(reinterpret_cast<const char *>(data), int(n));
                }
                const char byte = 1;
                [[maybe_unused]] const ssize_t w = ::write(m_wake[1], &byte, 1);
            }
        });
        return true;
    }
    void unplug() override
    {
        put("UDC", "\n");
        if (m_reader.joinable()) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t w = ::write(m_stop[1], &byte, 1);
            m_reader.join();
        }
        for (int *fd : {&m_fd, &m_wake[0], &m_wake[1], &m_stop[0], &m_stop[1]}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
        m_received.clear();
    }
    int fd() const override { return m_wake[0]; }
    void readable(VirtualHidModel *model) override
    {
        char bytes[64];
        while (::read(m_wake[0], bytes, sizeof bytes) > 0) {
        }
        std::deque<QByteArray> received;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            received.swap(m_received);
        }
        for (const QByteArray &r : received)
            take(model, r);
    }
    void take(VirtualHidModel *model, const QByteArray &got)
    {
        QByteArray report(1, '\0'); // the report ID the host's side counts
        report += got;
        const bool feature = Protocol::isFeatureReport(got);
        print(feature ? "feature" : "output", reinterpret_cast<const quint8 *>(report.constData()),
              int(report.size()), feature ? 0 : 1);
        if (!model)
            return;
        if (feature)
            model->featureReport(report);
        else
            model->outputReport(report);
    }
    bool input(const QByteArray &r) override
    {
        if (m_fd < 0)
            return true;
        const QByteArray data = r.mid(1);
        const ssize_t n = ::write(m_fd, data.constData(), size_t(data.size()));
        return !(n < 0 && errno == EAGAIN); // the last report is still waiting for the host
    }

private:
    // One gadget a controller: tx9 on the first, tx9-N on the others.
    QByteArray root() const
    {
        return QByteArray("/sys/kernel/config/usb_gadget/tx9") +
               (m_o.udc ? '-' + QByteArray::number(m_o.udc) : QByteArray());
    }
    bool put(const char *name, const QByteArray &value)
    {
        const QByteArray path = root() + '/' + name;
        const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = ::write(fd, value.constData(), size_t(value.size())) == value.size();
        ::close(fd);
        return ok;
    }
    bool make()
    {
        const QByteArray g = root();
        for (const char *dir : {"", "/strings/0x409", "/configs/c.1", "/configs/c.1/strings/0x409",
                                "/functions/hid.usb0"})
            if (::mkdir(g + dir, 0755) != 0 && errno != EEXIST) {
                std::perror("tx9-virtual-cable: configfs (is configfs mounted, "
                            "libcomposite and usb_f_hid loaded?)");
                return false;
            }
        m_made = true;
        bool ok = put("idVendor", "0x" + QByteArray::number(m_o.vid, 16)) &&
                  put("idProduct", "0x" + QByteArray::number(m_o.pid, 16)) &&
                  put("bcdDevice", "0x0100") && put("bcdUSB", "0x0200") &&
                  put("strings/0x409/manufacturer", m_o.manufacturer) &&
                  put("strings/0x409/product", m_o.product) &&
                  put("configs/c.1/strings/0x409/configuration", "TX-9") &&
                  put("configs/c.1/MaxPower", "100") && put("functions/hid.usb0/protocol", "0") &&
                  put("functions/hid.usb0/subclass", "0") &&
                  put("functions/hid.usb0/report_length", "10") &&
                  put("functions/hid.usb0/no_out_endpoint", "1") &&
                  put("functions/hid.usb0/report_desc", descriptor(m_o));
        if (ok && !m_o.serial.isEmpty())
            ok = put("strings/0x409/serialnumber", m_o.serial);
        if (ok && ::symlink(g + "/functions/hid.usb0", g + "/configs/c.1/hid.usb0") != 0 &&
            errno != EEXIST)
            ok = false;
        if (!ok)
            std::perror("tx9-virtual-cable: configfs");
        return ok;
    }

    const Options &m_o;
    bool m_made = false;
    int m_fd = -1;
    int m_wake[2] = {-1, -1}, m_stop[2] = {-1, -1};
    std::thread m_reader;
    std::mutex m_mutex;
    std::deque<QByteArray> m_received; // by the reader thread, in order
};

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
        else if (a == "--gadget")
            o.gadget = true;
        else if (a == "--serial")
            o.serial = next.toUtf8(), ++i;
        else if (a == "--udc")
            o.udc = qBound(0, next.toInt(), 31), ++i;
        else if (a == "--fahrenheit")
            o.fahrenheit = true;
        else {
            std::fprintf(stderr, "usage: tx9-virtual-cable [--gadget [--udc N]] [--serial TEXT] "
                                 "[--product NAME] [--vid HEX] [--pid HEX] [--feature-length N] "
                                 "[--numbered] [--no-meter] [--fahrenheit]\n");
            return 2;
        }
    }
    std::signal(SIGUSR1, [](int) { g_unplug = 1; });
    std::signal(SIGUSR2, [](int) { g_replug = 1; });
    std::signal(SIGINT, [](int) { g_quit = 1; });
    std::signal(SIGTERM, [](int) { g_quit = 1; });

    std::unique_ptr<Transport> cable;
    if (o.gadget)
        cable = std::make_unique<GadgetTransport>(o);
    else
        cable = std::make_unique<UhidTransport>(o);
    // At 2400 baud a report of up to nine serial bytes takes up to 37.5 ms to fill.
    ThermometerSettings settings;
    settings.ByteGapUs = 37'500;
    settings.Fahrenheit = o.fahrenheit;
    auto meter = o.meter ? std::make_unique<SimulatedThermometer>(settings) : nullptr;
    bool plugged = cable->plug();
    if (!plugged) {
        std::fprintf(stderr, "tx9-virtual-cable: cannot plug the cable in\n");
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
            cable->unplug();
            plugged = false;
            std::printf("unplugged\n");
            std::fflush(stdout);
        }
        if (g_replug && !plugged) {
            g_replug = 0;
            plugged = cable->plug();
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
        pollfd p{cable->fd(), POLLIN, 0};
        if (cable->fd() >= 0 && ::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN))
            cable->readable(meter.get());
        else if (cable->fd() < 0)
            ::usleep(useconds_t(waitMs) * 1000);
        if (plugged && upcoming && clock::now() >= due && cable->input(upcoming->second)) {
            upcoming.reset();
            if (clock::now() - due > std::chrono::milliseconds(200))
                due = clock::now(); // a long stall (the host not reading) restarts the clock
        }
    }
    if (plugged)
        cable->unplug();
    cable.reset();
    return 0;
}
