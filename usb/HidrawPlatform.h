#pragma once
// HID interfaces on Linux: hidraw device nodes found and watched through udev.
//
// The identity of an interface is the syspath of its HID device with the hidraw node's name (a
// driver rebind keeps the first and changes the second); the path is /dev/hidrawN.
// Strings come from the USB device's sysfs attributes (product, serial), falling back to the
// HID device's HID_NAME and HID_UNIQ. Linux does not pass string descriptor 0 (the language
// list) through hidraw, so indexedString(0) answers with English (0x0409) when the device has
// a serial number and fails otherwise: a device with a serial number then keeps it, and one
// without has none. A query-only handle needs no access to the node: it answers from sysfs.
// libudev is used on the GUI thread only (enumeration, the monitor, strings); what a reader
// thread needs (open, read) comes from a table filled by the enumeration and from the node.
// Reports go out with exactly the length the descriptor gives for their report ID.

#include "usb/HidPlatform.h"
#include "usb/ReportDescriptor.h"

#include <QHash>
#include <mutex>

struct udev;
struct udev_monitor;
class QSocketNotifier;

class HidrawPlatform : public HidPlatform
{
    Q_OBJECT
public:
    HidrawPlatform();
    ~HidrawPlatform() override;

    bool available() const override { return m_udev != nullptr; }
    QList<HidInterfaceInfo> interfaces() override;
    Handle open(const QString &path, HidOpenMode mode, quint32 *error) override;
    void close(Handle h) override;
    bool attributes(Handle h, HidAttributes *out) override;
    bool productString(Handle h, QString *out) override;
    bool serialString(Handle h, QString *out) override;
    bool indexedString(Handle h, int index, QByteArray *buffer) override;
    bool caps(Handle h, HidCaps *out) override;
    bool setNumInputBuffers(Handle h, int count) override;
    bool getNumInputBuffers(Handle h, int *count) override;
    bool setFeature(Handle h, const quint8 *report, int length) override;
    bool write(Handle h, const quint8 *report, int length, int *written) override;
    HidReadResult read(Handle h, quint8 *buffer, int length, int timeoutMs) override;
    void cancelRead(Handle h) override;

private:
    struct Open
    {
        int fd = -1;     // -1 for a query-only handle
        int wakeFd = -1; // eventfd that cancels a read
        QString path;
        QString hidSyspath;
        ReportLengths lengths;
        int inputBuffers = 32;
    };
    bool lookup(Handle h, Open *out);
    QString hidSyspathFor(const QString &devnode);
    bool sendReport(Handle h, HidReportKind kind, const quint8 *report, int length, int *written);
    QByteArray descriptorOf(const Open &o) const;
    QString usbAttribute(const QString &hidSyspath, const char *name) const;
    QString hidProperty(const QString &hidSyspath, const char *name) const;

    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    // Guards the handle table and the node table, and orders a cancel against a close: reads
    // run on reader threads.
    std::mutex m_mutex;
    QHash<Handle, Open> m_open;
    QHash<QString, QString> m_hidSyspaths; // /dev/hidrawN -> its HID device, from the last scan
    Handle m_next = 1;
};
