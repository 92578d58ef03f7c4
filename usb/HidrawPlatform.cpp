#include "usb/HidrawPlatform.h"

#include "usb/ReportDescriptor.h"

#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QString str(const char *s)
{
    return s ? QString::fromUtf8(s) : QString();
}

} // namespace

HidrawPlatform::HidrawPlatform()
{
    m_udev = udev_new();
    if (!m_udev)
        return;
    // The monitor starts before the first scan, so no change falls between the two. Without a
    // udev daemon (containers, a bare system) nothing rebroadcasts the kernel's events, so the
    // kernel's own are heard instead.
    const bool udevd = ::access("/run/udev/control", F_OK) == 0;
    m_monitor = udev_monitor_new_from_netlink(m_udev, udevd ? "udev" : "kernel");
    if (m_monitor) {
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr);
        if (udev_monitor_enable_receiving(m_monitor) == 0) {
            m_notifier =
                new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, [this] {
                if (udev_device *dev = udev_monitor_receive_device(m_monitor))
                    udev_device_unref(dev);
                emit devicesChanged();
            });
        }
    }
}

HidrawPlatform::~HidrawPlatform()
{
    for (const Open &o : std::as_const(m_open)) {
        if (o.fd >= 0)
            ::close(o.fd);
        if (o.wakeFd >= 0)
            ::close(o.wakeFd);
    }
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

QList<HidInterfaceInfo> HidrawPlatform::interfaces()
{
    QList<HidInterfaceInfo> out;
    if (!m_udev)
        return out;
    udev_enumerate *e = udev_enumerate_new(m_udev);
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e))
    {
        udev_device *raw = udev_device_new_from_syspath(m_udev, udev_list_entry_get_name(entry));
        if (!raw)
            continue;
        udev_device *hid = udev_device_get_parent_with_subsystem_devtype(raw, "hid", nullptr);
        const QString node = str(udev_device_get_devnode(raw));
        if (hid && !node.isEmpty()) {
            HidInterfaceInfo info;
            const QString hidSyspath = str(udev_device_get_syspath(hid));
            info.InstanceId = hidSyspath + QLatin1Char('|') + str(udev_device_get_sysname(raw));
            info.Path = node;
            {
                std::lock_guard lock(m_mutex);
                m_hidSyspaths.insert(node, hidSyspath);
            }
            for (const char *key :
                 {"HID_ID", "HID_NAME", "HID_PHYS", "HID_UNIQ", "DRIVER", "MODALIAS"}) {
                const QString v = str(udev_device_get_property_value(hid, key));
                if (!v.isEmpty())
                    info.Properties.insert(QString::fromLatin1(key), v);
            }
            if (udev_device *usb =
                    udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_device")) {
                for (const char *attr : {"idVendor", "idProduct", "manufacturer", "product",
                                         "serial", "busnum", "devnum"}) {
                    const QString v = str(udev_device_get_sysattr_value(usb, attr));
                    if (!v.isEmpty())
                        info.Properties.insert(QString::fromLatin1(attr), v);
                }
                // The device's name is its port path (bus 1, hub port 1, port 2: "1-1.2"),
                // which stays with the socket whatever the hidraw number.
                const QString port = str(udev_device_get_sysname(usb));
                if (!port.isEmpty())
                    info.Properties.insert(QStringLiteral("usb_port"), port);
            }
            out.append(info);
        }
        udev_device_unref(raw);
    }
    udev_enumerate_unref(e);
    return out;
}

QString HidrawPlatform::hidSyspathFor(const QString &devnode)
{
    std::lock_guard lock(m_mutex);
    return m_hidSyspaths.value(devnode);
}

HidPlatform::Handle HidrawPlatform::open(const QString &path, HidOpenMode mode, quint32 *error)
{
    Open o;
    o.path = path;
    o.hidSyspath = hidSyspathFor(path);
    if (mode != HidOpenMode::QueryOnly) {
        // Without blocking: a read that finds nothing (or asks for nothing) must not hang.
        const int flags =
            (mode == HidOpenMode::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
        o.fd = ::open(path.toLocal8Bit().constData(), flags);
        if (o.fd < 0) {
            if (error)
                *error = quint32(errno);
            return InvalidHandle;
        }
        o.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    } else if (o.hidSyspath.isEmpty()) {
        if (error)
            *error = ENODEV;
        return InvalidHandle;
    }
    o.lengths = parseReportDescriptor(descriptorOf(o));
    std::lock_guard lock(m_mutex);
    const Handle h = m_next++;
    m_open.insert(h, o);
    return h;
}

void HidrawPlatform::close(Handle h)
{
    // Under the lock, so a cancel never writes into a descriptor that was closed and reused.
    std::lock_guard lock(m_mutex);
    if (!m_open.contains(h))
        return;
    const Open o = m_open.take(h);
    if (o.fd >= 0)
        ::close(o.fd);
    if (o.wakeFd >= 0)
        ::close(o.wakeFd);
}

bool HidrawPlatform::lookup(Handle h, Open *out)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_open.constFind(h);
    if (it == m_open.constEnd())
        return false;
    *out = *it;
    return true;
}

QString HidrawPlatform::hidProperty(const QString &hidSyspath, const char *name) const
{
    QString result;
    if (udev_device *hid = udev_device_new_from_syspath(m_udev, hidSyspath.toUtf8().constData())) {
        result = str(udev_device_get_property_value(hid, name));
        udev_device_unref(hid);
    }
    return result;
}

QString HidrawPlatform::usbAttribute(const QString &hidSyspath, const char *name) const
{
    QString result;
    if (udev_device *hid = udev_device_new_from_syspath(m_udev, hidSyspath.toUtf8().constData())) {
        if (udev_device *usb =
                udev_device_get_parent_with_subsystem_devtype(hid, "usb", "usb_device"))
            result = str(udev_device_get_sysattr_value(usb, name));
        udev_device_unref(hid);
    }
    return result;
}

bool HidrawPlatform::attributes(Handle h, HidAttributes *out)
{
    Open o;
    if (!lookup(h, &o))
        return false;
    if (o.fd >= 0) {
        hidraw_devinfo info{};
        if (ioctl(o.fd, HIDIOCGRAWINFO, &info) < 0)
            return false;
        out->VendorID = quint16(info.vendor);
        out->ProductID = quint16(info.product);
    } else {
        const std::optional<HidId> id = parseHidId(hidProperty(o.hidSyspath, "HID_ID"));
        if (!id)
            return false;
        out->VendorID = id->Vendor;
        out->ProductID = id->Product;
    }
    out->VersionNumber = quint16(usbAttribute(o.hidSyspath, "bcdDevice").toUInt(nullptr, 16));
    return true;
}

bool HidrawPlatform::productString(Handle h, QString *out)
{
    Open o;
    if (!lookup(h, &o))
        return false;
    QString s = usbAttribute(o.hidSyspath, "product");
    if (s.isEmpty())
        s = hidProperty(o.hidSyspath, "HID_NAME");
    *out = s;
    return !s.isEmpty();
}

bool HidrawPlatform::serialString(Handle h, QString *out)
{
    Open o;
    if (!lookup(h, &o))
        return false;
    QString s = usbAttribute(o.hidSyspath, "serial");
    if (s.isEmpty())
        s = hidProperty(o.hidSyspath, "HID_UNIQ");
    *out = s;
    return !s.isEmpty();
}

bool HidrawPlatform::indexedString(Handle h, int index, QByteArray *buffer)
{
    QString serial;
    if (index != 0 || !serialString(h, &serial) || buffer->size() < 4)
        return false;
    // English (United States), then the terminating zero.
    (*buffer)[0] = char(0x09);
    (*buffer)[1] = char(0x04);
    (*buffer)[2] = 0;
    (*buffer)[3] = 0;
    return true;
}

QByteArray HidrawPlatform::descriptorOf(const Open &o) const
{
    if (o.fd >= 0) {
        int size = 0;
        if (ioctl(o.fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0) {
            hidraw_report_descriptor desc{};
            desc.size = quint32(qMin(size, HID_MAX_DESCRIPTOR_SIZE));
            if (ioctl(o.fd, HIDIOCGRDESC, &desc) == 0)
                return QByteArray(reinterpret_cast<const char *>(desc.value), int(desc.size));
        }
    }
    QFile f(o.hidSyspath + QStringLiteral("/report_descriptor"));
    if (!o.hidSyspath.isEmpty() && f.open(QIODevice::ReadOnly))
        return f.readAll();
    return {};
}

bool HidrawPlatform::caps(Handle h, HidCaps *out)
{
    Open o;
    if (!lookup(h, &o))
        return false;
    const QByteArray desc = descriptorOf(o);
    if (desc.isEmpty())
        return false;
    const ReportLengths l = parseReportDescriptor(desc);
    out->InputReportByteLength = quint16(l.Input);
    out->OutputReportByteLength = quint16(l.Output);
    out->FeatureReportByteLength = quint16(l.Feature);
    return true;
}

// hidraw has no driver input-buffer count to set; the count is remembered and reported.
bool HidrawPlatform::setNumInputBuffers(Handle h, int count)
{
    std::lock_guard lock(m_mutex);
    auto it = m_open.find(h);
    if (it == m_open.end() || count < 2)
        return false;
    it->inputBuffers = count;
    return true;
}

bool HidrawPlatform::getNumInputBuffers(Handle h, int *count)
{
    Open o;
    if (!lookup(h, &o))
        return false;
    *count = o.inputBuffers;
    return true;
}

bool HidrawPlatform::setFeature(Handle h, const quint8 *report, int length)
{
    return sendReport(h, HidReportKind::Feature, report, length, nullptr);
}

bool HidrawPlatform::write(Handle h, const quint8 *report, int length, int *written)
{
    return sendReport(h, HidReportKind::Output, report, length, written);
}

bool HidrawPlatform::sendReport(Handle h, HidReportKind kind, const quint8 *report, int length,
                                int *written)
{
    Open o;
    if (!lookup(h, &o) || o.fd < 0 || length < 1)
        return false;
    // Exactly as long as the descriptor says, as the device expects: a longer transfer can be
    // stalled, and the stall would go unnoticed.
    const QByteArray bytes = fitReport(QByteArray(reinterpret_cast<const char *>(report), length),
                                       reportLengthFor(o.lengths, kind, report[0]));
    QByteArray copy = bytes;
    if (kind == HidReportKind::Feature)
        return ioctl(o.fd, HIDIOCSFEATURE(copy.size()), copy.data()) >= 0;
    // hidraw takes the report number in byte 0 and drops it for unnumbered reports.
    const ssize_t n = ::write(o.fd, copy.constData(), size_t(copy.size()));
    if (n < 0)
        return false;
    if (written)
        *written = int(n);
    return true;
}

HidReadResult HidrawPlatform::read(Handle h, quint8 *buffer, int length, int timeoutMs)
{
    HidReadResult r;
    Open o;
    if (!lookup(h, &o) || o.fd < 0 || length < 1) {
        r.Status = HidReadStatus::Failed;
        r.Error = EBADF;
        return r;
    }
    pollfd fds[2] = {{o.fd, POLLIN, 0}, {o.wakeFd, POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready == 0)
        return r;
    if (ready < 0) {
        if (errno == EINTR)
            return r;
        r.Status = HidReadStatus::Failed;
        r.Error = quint32(errno);
        return r;
    }
    if (fds[1].revents & POLLIN) {
        quint64 drained;
        [[maybe_unused]] const ssize_t ignored = ::read(o.wakeFd, &drained, sizeof drained);
        return r;
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // The device is gone (a destroyed device reads EIO; its node may be reused soon).
        r.Status = HidReadStatus::Failed;
        r.Error = ENODEV;
        r.Gone = true;
        return r;
    }
    // hidraw leaves out the report ID of unnumbered reports; callers expect it in byte 0.
    const int offset = reportIdOffset(o.lengths.Numbered);
    if (length - offset < 1)
        return r; // nothing can be read into no room
    const ssize_t n = ::read(o.fd, buffer + offset, size_t(length - offset));
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return r; // nothing after all: a timeout
        r.Status = HidReadStatus::Failed;
        r.Error = quint32(errno);
        r.Gone = errno == EIO || errno == ENODEV;
        return r;
    }
    if (offset)
        buffer[0] = 0;
    r.Status = HidReadStatus::Completed;
    r.Bytes = int(n) + offset;
    return r;
}

void HidrawPlatform::cancelRead(Handle h)
{
    std::lock_guard lock(m_mutex); // see close()
    const auto it = m_open.constFind(h);
    if (it != m_open.constEnd() && it->wakeFd >= 0) {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(it->wakeFd, &one, sizeof one);
    }
}
