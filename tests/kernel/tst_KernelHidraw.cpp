#include "app/RD7F.h"
#include "common/ScriptedPrompts.h"
#include "common/Wait.h"
#include "headless/Headless.h"
#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"
#include "usb/CableIds.h"
#include "usb/HidControllerClass.h"
#include "usb/HidrawPlatform.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The hidraw backend on a real Linux kernel, against tx9-virtual-cable behind /dev/uhid.
// Runs inside the virtual machine of scripts/test-kernel (it needs /dev/uhid and root).
class tst_KernelHidraw : public QObject
{
    Q_OBJECT

    struct Cable
    {
        QProcess process;
        explicit Cable(const QStringList &args = {})
        {
            const qsizetype before = nodes();
            process.setProcessChannelMode(QProcess::SeparateChannels);
            process.start(QStringLiteral(TX9_VIRTUAL_CABLE), args);
            process.waitForStarted();
            waitUntil([this] { return output().contains("plugged"); }, 10000);
            // The kernel probes the new device on a work queue of its own (over USB after
            // enumerating it): its node comes a moment after the cable is plugged in.
            waitUntil([&] { return nodes() > before; }, 10000);
        }
        static qsizetype nodes()
        {
            return QDir("/sys/class/hidraw")
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                .size();
        }
        ~Cable()
        {
            process.terminate();
            process.waitForFinished(5000);
        }
        QString output()
        {
            m_seen += QString::fromUtf8(process.readAllStandardOutput());
            return m_seen;
        }
        void signal(int sig) { ::kill(pid_t(process.processId()), sig); }
        QString m_seen;
    };

    // The cable through uhid, or as a USB device through the gadget stack.
    static QStringList on(bool gadget, QStringList args = {})
    {
        if (gadget)
            args.prepend("--gadget");
        return args;
    }
    static void cables()
    {
        QTest::addColumn<bool>("gadget");
        QTest::newRow("uhid") << false;
        QTest::newRow("usb gadget") << true;
    }

    struct Log
    {
        QList<QByteArray> data;
        QList<quint32> errors;
        QStringList events;
        void Data(THidDevice *, quint8 id, const quint8 *bytes, quint16 size)
        {
            data << QByteArray(1, char(id)) +
                        QByteArray(reinterpret_cast<const char *>(bytes), size);
        }
        void Error(THidDevice *, quint32 e) { errors << e; }
        void Arrival(THidDevice *d) { events << "arrival " + d->ProductString(); }
        void Removal(THidDevice *d) { events << "removal " + d->ProductString(); }
    };

    static int indexOf(THidDeviceController &ctl, const QString &product)
    {
        for (int i = 0; i < ctl.Devices().size(); ++i) {
            THidDevice *d = nullptr;
            if (ctl.Devices()[i]->Plugged() && ctl.ClaimDeviceAt(d, i)) {
                const bool match = d->ProductString() == product;
                ctl.ReleaseDevice(d);
                if (match)
                    return i;
            }
        }
        return -1;
    }
    static THidDevice *claim(THidDeviceController &ctl, const QString &product = "USB to Serial")
    {
        // The kernel probes a new device on a work queue of its own: the node may come a
        // moment after the cable said it is plugged in.
        int i = -1;
        waitUntil([&] { return (i = indexOf(ctl, product)) >= 0; }, 10000);
        THidDevice *d = nullptr;
        if (i >= 0)
            ctl.ClaimDeviceAt(d, i);
        if (d)
            d->ProductString(); // read while it can be: a removed device cannot be asked
        return d;
    }

    // The cable claimed from a controller and released however the test ends: a claimed
    // device outlives its controller, and its reader would call handlers that are gone.
    struct Claimed
    {
        THidDeviceController &ctl;
        THidDevice *device;
        explicit Claimed(THidDeviceController &c) : ctl(c), device(claim(c)) {}
        ~Claimed()
        {
            if (device)
                ctl.ReleaseDevice(device);
        }
        Claimed(const Claimed &) = delete;
        Claimed &operator=(const Claimed &) = delete;
    };

    // Several cables at once, each thermometer in its own unit so that cross-talk shows: A in
    // °C, B in °F, on two USB controllers (dummy_hcd num=2) with their own serial numbers, or
    // B through uhid with its serial number as the device's unique id.
    static QStringList cableA() { return {"--gadget", "--udc", "0", "--serial", "KA1"}; }
    static QStringList cableB(bool gadget)
    {
        return gadget ? QStringList{"--gadget", "--udc", "1", "--serial", "KB2", "--fahrenheit"}
                      : QStringList{"--serial", "KB2", "--fahrenheit"};
    }
    // tx9-logger --headless, with its standard error kept.
    struct Logger
    {
        QProcess process;
        QString file;
        Logger(const QStringList &args, const QString &name)
            : file(name.isEmpty() ? QString() : QDir::temp().filePath(name))
        {
            if (!file.isEmpty())
                QFile::remove(file);
            QStringList all{"--headless", "--interval", "0", "-q"};
            if (!file.isEmpty())
                all << "-o" << file;
            process.start(TX9_LOGGER, all + args);
            process.waitForStarted();
        }
        ~Logger()
        {
            if (process.state() != QProcess::NotRunning) {
                process.terminate();
                process.waitForFinished(10000);
            }
        }
        qint64 pid() const { return process.processId(); }
        // The file's rows so far (the last line may be on its way: only whole rows).
        QStringList rows() const
        {
            QFile f(file);
            if (!f.open(QIODevice::ReadOnly))
                return {};
            QStringList lines = QString::fromUtf8(f.readAll()).split("\r\n");
            lines.removeLast();
            lines = lines.mid(3);
            return lines;
        }
        QSet<QString> units() const
        {
            QSet<QString> u;
            for (const QString &r : rows())
                u << r.section('\t', 3, 3);
            return u;
        }
        int end()
        {
            process.terminate();
            return process.waitForFinished(30000) ? process.exitCode() : -1;
        }
        QString errors() { return QString::fromUtf8(process.readAllStandardError()); }
    };

public:
    // This test started again as a window on one cable (by its ID), which records a few
    // readings and prints their units: "units #" or "units ?".
    static int windowOnCable(const QString &id)
    {
        ScriptedPrompts prompts;
        HidrawPlatform platform;
        TFCOMM w(&platform);
        w.chooseCable(id);
        if (!waitUntil([&] { return w.DevListBox->currentRow() >= 0; }, 10000))
            return 3;
        w.RecordSI->setChecked(false);
        w.USBCon->click();
        if (!waitUntil([&] { return w.cds1->count() >= 5; }, 30000))
            return 4;
        QSet<QString> units;
        for (qint64 r = 0; r < w.cds1->count(); ++r)
            units << w.cds1->text(r, MeasurementTable::FieldUnit);
        QStringList list = units.values();
        list.sort();
        std::printf("units %s\n", qPrintable(list.join(',')));
        std::fflush(stdout);
        w.USBCon->click();
        return 0;
    }

private:
    // What udevd made of each hidraw node, once it has handled every event.
    static QStringList udevProperties()
    {
        QProcess::execute("udevadm", {"settle", "--timeout=10"});
        QStringList out;
        for (const QString &n :
             QDir("/sys/class/hidraw").entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
            QProcess info;
            info.start("udevadm", {"info", "--query=property", "--name=/dev/" + n});
            info.waitForFinished(10000);
            out << QString::fromUtf8(info.readAllStandardOutput());
        }
        return out;
    }
    static QString listed()
    {
        QProcess list;
        list.start(TX9_LOGGER, {"--headless", "--list"});
        list.waitForFinished(60000); // a program's start is slow in an emulated machine
        return QString::fromUtf8(list.readAllStandardOutput());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists("/dev/uhid"), "needs /dev/uhid: run through scripts/test-kernel");
    }

    void enumerationAndIdentity()
    {
        Cable cable;
        HidrawPlatform platform;
        QVERIFY(platform.available());
        const QList<HidInterfaceInfo> all = platform.interfaces();
        QCOMPARE(all.size(), 1);
        QVERIFY(all[0].Path.startsWith("/dev/hidraw"));
        QVERIFY2(all[0].InstanceId.endsWith("|" + all[0].Path.section('/', -1)),
                 qPrintable(all[0].InstanceId));
        QCOMPARE(all[0].Properties.value("HID_NAME"), QStringLiteral("USB to Serial"));
    }

    void attributesStringsAndCapabilities()
    {
        Cable cable;
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        const Claimed claimed(ctl);
        THidDevice *d = claimed.device;
        QVERIFY(d);
        QCOMPARE(d->VendorID(), quint16(0x1A86));
        QCOMPARE(d->ProductID(), quint16(0xE008));
        QCOMPARE(d->ProductString(), QStringLiteral("USB to Serial"));
        QCOMPARE(d->SerialString(), QString()); // a uhid device has no USB parent
        QVERIFY(d->ReadWriteAccess());
        QCOMPARE(d->Capabilities().InputReportByteLength, quint16(11));
        QCOMPARE(d->Capabilities().OutputReportByteLength, quint16(11));
        QCOMPARE(d->Capabilities().FeatureReportByteLength, quint16(10));
    }

    // What only a USB device has: a usb_device parent with the descriptors' strings. The HID
    // name joins manufacturer and product, so the product string must come from the parent.
    void usbCableIdentity()
    {
        Cable cable({"--gadget"});
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        const Claimed claimed(ctl);
        THidDevice *d = claimed.device;
        QVERIFY(d);
        const QList<HidInterfaceInfo> all = platform.interfaces();
        QCOMPARE(all.size(), 1);
        QCOMPARE(all[0].Properties.value("HID_NAME"), QStringLiteral("Norvane USB to Serial"));
        QVERIFY2(all[0].Properties.value("HID_PHYS").startsWith("usb-dummy_hcd"),
                 qPrintable(all[0].Properties.value("HID_PHYS")));
        QCOMPARE(d->ProductString(), QStringLiteral("USB to Serial"));
        QCOMPARE(d->SerialString(), QString());
        QCOMPARE(d->VendorID(), quint16(0x1A86));
        QCOMPARE(d->ProductID(), quint16(0xE008));
        QVERIFY(d->ReadWriteAccess());
        QCOMPARE(d->Capabilities().InputReportByteLength, quint16(11));
        QCOMPARE(d->Capabilities().OutputReportByteLength, quint16(11));
        QCOMPARE(d->Capabilities().FeatureReportByteLength, quint16(10));
    }

    // A cable whose USB descriptors carry a serial number is listed with it and not chosen by
    // itself; one without is.
    void usbSerialNumberIsNotChosenByItself_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("listed");
        QTest::addColumn<bool>("chosen");
        QTest::newRow("no serial") << QString() << "USB to Serial" << true;
        QTest::newRow("serial") << "TX9-0042"
                                << "USB to Serial (Serial=TX9-0042)" << false;
    }
    void usbSerialNumberIsNotChosenByItself()
    {
        QFETCH(QString, serial);
        QFETCH(QString, listed);
        QFETCH(bool, chosen);
        Cable cable(serial.isEmpty() ? QStringList{"--gadget"}
                                     : QStringList{"--gadget", "--serial", serial});
        ScriptedPrompts prompts;
        HidrawPlatform platform;
        TFCOMM w(&platform);
        QVERIFY(waitUntil([&] { return w.DevListBox->count() == 1; }, 10000));
        QCOMPARE(w.DevListBox->item(0)->text(), listed);
        QCOMPARE(w.DevListBox->currentRow() == 0, chosen);
        if (!serial.isEmpty())
            QCOMPARE(w.SelectedHidDevice ? w.SelectedHidDevice->SerialString() : serial, serial);
    }

    // The package's udev rule as systemd-udevd applies it: the USB cable's node gets the
    // seat's uaccess tag and the group plugdev; a uhid device named the same (it has no USB
    // parent whose product could match) and a USB device with another product get neither.
    void udevRuleTagsOnlyTheUsbCable_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("tagged");
        QTest::newRow("usb cable") << QStringList{"--gadget"} << true;
        QTest::newRow("uhid cable") << QStringList{} << false;
        QTest::newRow("usb, another product")
            << QStringList{"--gadget", "--product", "Thermo Probe"} << false;
    }
    void udevRuleTagsOnlyTheUsbCable()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, tagged);
        Cable cable(args);
        const QStringList nodes =
            QDir("/sys/class/hidraw").entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QCOMPARE(nodes.size(), 1);
        const QString node = "/dev/" + nodes[0];
        QCOMPARE(QProcess::execute("udevadm", {"settle", "--timeout=10"}), 0);
        QProcess info;
        info.start("udevadm", {"info", "--query=property", "--name=" + node});
        QVERIFY(info.waitForFinished(10000));
        QCOMPARE(info.exitCode(), 0); // udevd knows the node
        const QString properties = QString::fromUtf8(info.readAllStandardOutput());
        QCOMPARE(properties.contains(
                     QRegularExpression("^TAGS=.*:uaccess:", QRegularExpression::MultilineOption)),
                 tagged);
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(node).constData(), &st), 0);
        QCOMPARE(st.st_gid == 46 && (st.st_mode & 0777) == 0660, tagged);
    }

    // Over USB both go out as SET_REPORT requests; a feature report cut to the descriptor's
    // length arrives whole.
    void featureAndOutputReportsReachTheDevice_data()
    {
        QTest::addColumn<int>("featureLength");
        QTest::addColumn<bool>("gadget");
        QTest::newRow("uhid, 10-byte feature report") << 10 << false;
        QTest::newRow("uhid, 6-byte feature report") << 6 << false;
        QTest::newRow("usb gadget, 10-byte feature report") << 10 << true;
        QTest::newRow("usb gadget, 6-byte feature report") << 6 << true;
    }
    void featureAndOutputReportsReachTheDevice()
    {
        QFETCH(int, featureLength);
        QFETCH(bool, gadget);
        Cable cable(on(gadget, {"--feature-length", QString::number(featureLength)}));
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        const Claimed claimed(ctl);
        THidDevice *d = claimed.device;
        QVERIFY(d);
        const quint8 feature[10] = {0, 0x60, 0x09, 0, 0, 3};
        QVERIFY(d->SendFeature(feature, 10));
        const quint8 command[11] = {0, 1, 90};
        int written = 0;
        QVERIFY(d->WriteReport(command, 11, written));
        const QByteArray sentFeature =
            QByteArray("00 60 09 00 00 03 00 00 00 00").left(3 * featureLength - 1);
        QVERIFY(waitUntil([&] { return cable.output().contains("output"); }, 5000));
        QVERIFY2(cable.output().contains(QStringLiteral("feature 0 %1: %2")
                                             .arg(featureLength)
                                             .arg(QString::fromLatin1(sentFeature))),
                 qPrintable(cable.output()));
        QVERIFY2(cable.output().contains("output 1 11: 00 01 5a 00 00 00 00 00 00 00 00"),
                 qPrintable(cable.output()));
        // Back to back, as the connect sequence sends them: none is lost (over USB the gadget's
        // function keeps only one request until the cable has read it).
        for (int i = 0; i < 20; ++i) {
            QVERIFY(d->SendFeature(feature, 10));
            QVERIFY(d->WriteReport(command, 11, written));
        }
        QVERIFY2(waitUntil([&] { return cable.output().count("output") == 21; }, 5000),
                 qPrintable(cable.output()));
        QCOMPARE(cable.output().count("feature"), 21);
    }

    void inputReports_data()
    {
        QTest::addColumn<bool>("numbered");
        QTest::addColumn<bool>("gadget");
        QTest::newRow("uhid, unnumbered") << false << false;
        QTest::newRow("uhid, numbered") << true << false;
        QTest::newRow("usb gadget, unnumbered") << false << true;
    }
    void inputReports()
    {
        QFETCH(bool, numbered);
        QFETCH(bool, gadget);
        Cable cable(on(gadget, numbered ? QStringList{"--numbered"} : QStringList{}));
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        Log log;
        const Claimed claimed(ctl);
        THidDevice *d = claimed.device;
        QVERIFY(d);
        d->SetDataHandler(THidDataEvent(&log, &Log::Data));
        QVERIFY(waitUntil([&] { return log.data.size() >= 5; }, 10000));
        // Idle reports: the report ID first, then the count byte 0xF0.
        QCOMPARE(log.data[0].size(), 11);
        QCOMPARE(quint8(log.data[0][0]), quint8(numbered ? 1 : 0));
        QCOMPARE(quint8(log.data[0][1]), quint8(0xF0));
    }

    // Unplugged while reading: the read fails (EIO or a hang-up), the error handler hears it,
    // and the node is never read again; plugged back in, a new device arrives.
    void unplugWhileReadingAndReplug_data() { cables(); }
    void unplugWhileReadingAndReplug()
    {
        QFETCH(bool, gadget);
        Cable cable(on(gadget));
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        Log log;
        ctl.SetOnArrival(THidPlugEvent(&log, &Log::Arrival));
        ctl.SetOnRemoval(THidPlugEvent(&log, &Log::Removal));
        const Claimed claimed(ctl);
        THidDevice *d = claimed.device;
        QVERIFY(d);
        d->DataErrorHandler = THidDataErrorEvent(&log, &Log::Error);
        d->SetDataHandler(THidDataEvent(&log, &Log::Data));
        QVERIFY(waitUntil([&] { return !log.data.isEmpty(); }, 10000));
        cable.signal(SIGUSR1);
        QVERIFY(waitUntil([&] { return !log.errors.isEmpty(); }, 10000));
        // Heard through the kernel's uevents.
        QVERIFY(waitUntil([&] { return log.events.contains("removal USB to Serial"); }, 10000));
        QVERIFY(!d->Plugged());
        const int before = int(log.data.size());
        cable.signal(SIGUSR2);
        QVERIFY(waitUntil([&] { return log.events.contains("arrival USB to Serial"); }, 10000));
        QTest::qWait(300);
        QCOMPARE(log.data.size(), before); // the old device object reads nothing new
    }

    // The kernel gives the freed node to the next device: the old device's reader, told only by
    // its failed read, does not read the newcomer, whose idle reports would otherwise reach
    // the old device's handler.
    void reusedNodeIsNotReadByTheGoneDevice()
    {
        auto first = std::make_unique<Cable>();
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        Log log;
        const Claimed claimed(ctl);
        THidDevice *d = claimed.device;
        QVERIFY(d);
        const QString node = d->PnPInfo().DevicePath;
        d->DataErrorHandler = THidDataErrorEvent(&log, &Log::Error);
        d->SetDataHandler(THidDataEvent(&log, &Log::Data));
        QVERIFY(waitUntil([&] { return !log.data.isEmpty(); }, 10000));
        first.reset(); // destroyed
        Cable second({"--product", "Other", "--pid", "4321"});
        QVERIFY(waitUntil([&] { return !log.errors.isEmpty(); }, 10000));
        const int before = int(log.data.size());
        QTest::qWait(500);
        QCOMPARE(log.data.size(), before);
        HidrawPlatform fresh;
        QCOMPARE(fresh.interfaces().value(0).Path, node); // the node was indeed reused
    }

    // The identity changes when the device is made anew, even on the same node.
    void replugGivesANewIdentity()
    {
        Cable cable;
        HidrawPlatform platform;
        const QString before = platform.interfaces().value(0).InstanceId;
        cable.signal(SIGUSR1);
        QVERIFY(waitUntil([&] { return platform.interfaces().isEmpty(); }, 10000));
        cable.signal(SIGUSR2);
        QVERIFY(waitUntil([&] { return !platform.interfaces().isEmpty(); }, 10000));
        const QString after = platform.interfaces().value(0).InstanceId;
        QVERIFY(!after.isEmpty());
        QVERIFY2(after != before, qPrintable(after));
    }

    // Identification without opening the node: everything from sysfs.
    void queryOnlyHandleAnswersFromSysfs()
    {
        Cable cable;
        HidrawPlatform platform;
        const HidInterfaceInfo info = platform.interfaces().value(0);
        quint32 error = 0;
        const HidPlatform::Handle h = platform.open(info.Path, HidOpenMode::QueryOnly, &error);
        QVERIFY(h != HidPlatform::InvalidHandle);
        HidAttributes a;
        QVERIFY(platform.attributes(h, &a));
        QCOMPARE(a.VendorID, quint16(0x1A86));
        QCOMPARE(a.ProductID, quint16(0xE008));
        QString product;
        QVERIFY(platform.productString(h, &product));
        QCOMPARE(product, QStringLiteral("USB to Serial"));
        HidCaps caps;
        QVERIFY(platform.caps(h, &caps));
        QCOMPARE(caps.FeatureReportByteLength, quint16(10));
        platform.close(h);
    }

    void hotplugOfAnUnrelatedDevice()
    {
        Cable cable;
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        Log log;
        ctl.SetOnArrival(THidPlugEvent(&log, &Log::Arrival));
        ctl.SetOnRemoval(THidPlugEvent(&log, &Log::Removal));
        {
            Cable other({"--product", "Keyboard", "--pid", "1234", "--no-meter"});
            QVERIFY(waitUntil([&] { return log.events.contains("arrival Keyboard"); }, 10000));
            QCOMPARE(ctl.Devices().size(), 2);
        }
        QVERIFY(waitUntil([&] { return log.events.contains("removal Keyboard"); }, 10000));
        QCOMPARE(ctl.Devices().size(), 1);
    }

    // A node the user may not open: listed and identified from sysfs, but no read/write
    // access, and the open error is EACCES.
    void nodeWithoutPermission()
    {
        Cable cable;
        QString node;
        {
            HidrawPlatform platform;
            node = platform.interfaces().value(0).Path;
        }
        QVERIFY(!node.isEmpty());
        QCOMPARE(::chmod(QFile::encodeName(node).constData(), 0600), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(10);
            HidrawPlatform platform;
            THidDeviceController ctl(&platform);
            if (ctl.Devices().size() != 1)
                ::_exit(11);
            THidDevice *d = nullptr;
            ctl.ClaimDeviceAt(d, 0);
            if (d->ReadWriteAccess() || d->ReadWriteError() != EACCES)
                ::_exit(12);
            if (d->VendorID() != 0x1A86 || d->ProductString() != "USB to Serial")
                ::_exit(13);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void stopIsPromptOnARealNode()
    {
        Cable cable;
        HidrawPlatform platform;
        THidDeviceController ctl(&platform);
        Log log;
        const Claimed claimed(ctl);
        THidDevice *d = claimed.device;
        QVERIFY(d);
        d->SetReadWaitTime(10000); // a long slice: only the cancel can end the read early
        d->SetDataHandler(THidDataEvent(&log, &Log::Data));
        QVERIFY(waitUntil([&] { return !log.data.isEmpty(); }, 10000));
        QElapsedTimer t;
        t.start();
        d->SetDataHandler(THidDataEvent());
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    }

    // The window busy for two seconds (a long piece of work on the GUI thread) while the meter
    // sends: the kernel keeps only 64 unread reports per open node, but the reader goes on
    // reading into its own queue, so every live frame the meter sent becomes a row.
    void busyWindowLosesNoFrame_data() { cables(); }
    void busyWindowLosesNoFrame()
    {
        QFETCH(bool, gadget);
        Cable cable(on(gadget));
        ScriptedPrompts prompts;
        HidrawPlatform platform;
        TFCOMM w(&platform);
        w.RecordSI->setChecked(false);
        w.USBCon->click();
        QVERIFY(waitUntil([&] { return w.cds1->count() >= 2; }, 20000));
        QThread::msleep(2000); // about 200 reports fall due meanwhile
        QVERIFY(waitUntil([&] { return w.cds1->count() >= 8; }, 20000));
        w.SendUSBData(91); // the meter stops; what it sent is then all read
        auto sent = [&] {
            const QStringList lines = cable.output().split('\n');
            qint64 n = 0;
            for (const QString &l : lines)
                if (l.startsWith("live "))
                    n = l.mid(5).toLongLong();
            return n;
        };
        QTest::qWait(1000);
        QVERIFY2(waitUntil([&] { return w.cds1->count() == sent(); }, 10000),
                 qPrintable(QStringLiteral("rows %1, frames %2").arg(w.cds1->count()).arg(sent())));
        w.USBCon->click();
    }

    // The real window, offscreen, on the real backend: select, connect, live rows, download,
    // unplug and replug.
    void windowEndToEnd_data() { cables(); }
    void windowEndToEnd()
    {
        QFETCH(bool, gadget);
        Cable cable(on(gadget));
        ScriptedPrompts prompts;
        HidrawPlatform platform;
        TFCOMM w(&platform);
        QVERIFY(waitUntil([&] { return w.DevListBox->currentRow() >= 0; }, 10000));
        QCOMPARE(w.DevListBox->currentItem() ? w.DevListBox->currentItem()->text() : QString(),
                 QStringLiteral("USB to Serial"));
        w.RecordSI->setChecked(false);
        w.USBCon->click();
        QVERIFY(w.USBCon->isChecked());
        QVERIFY2(waitUntil([&] { return w.cds1->count() >= 3; }, 20000),
                 qPrintable(cable.output()));
        QCOMPARE(w.S.RangeMax, 1055); // the identification frame came through
        w.USBCon->click();
        // The download of the 25 stored readings, into an emptied table.
        w.RecallData->setChecked(true);
        prompts.messageAnswers.enqueue(mrYes);
        w.USBCon->click();
        QVERIFY(waitUntil([&] { return w.cds1->count() == 25; }, 30000));
        QVERIFY(waitUntil([&] { return cable.output().contains("output 1 11: 00 01 5b"); }, 5000));
        w.USBCon->click();
        w.RecallData->setChecked(false);
        // Pulled while connected: the button comes up; plugged back in, the cable is selected.
        w.USBCon->click();
        cable.signal(SIGUSR1);
        QVERIFY(waitUntil([&] { return !w.USBCon->isChecked(); }, 10000));
        cable.signal(SIGUSR2);
        QVERIFY(waitUntil([&] { return w.DevListBox->currentRow() >= 0; }, 10000));
        const qint64 rows = w.cds1->count();
        w.USBCon->click();
        QVERIFY(waitUntil([&] { return w.cds1->count() > rows; }, 20000));
        w.USBCon->click();
    }

    // The headless run in this process on the real backend: live rows at interval 0, the
    // cable pulled and plugged back in (numbering goes on), stop with the stop command.
    void headlessRunSurvivesAReplug_data() { cables(); }
    void headlessRunSurvivesAReplug()
    {
        QFETCH(bool, gadget);
        Cable cable(on(gadget));
        HidrawPlatform platform;
        Headless::Options o;
        o.Interval = 0;
        o.Output = QDir::temp().filePath("headless-replug.txt");
        QFile::remove(o.Output); // each cable's run writes a file of its own
        const int null = ::open("/dev/null", O_WRONLY);
        HeadlessRun run(o, &platform, null, null);
        run.start();
        QVERIFY(run.running());
        QVERIFY2(waitUntil([&] { return run.table().count() >= 3; }, 20000),
                 qPrintable(cable.output()));
        cable.signal(SIGUSR1);
        QVERIFY(waitUntil([&] { return cable.output().contains("unplugged"); }, 10000));
        QTest::qWait(300);
        const qint64 before = run.table().count();
        cable.signal(SIGUSR2);
        QVERIFY(waitUntil([&] { return run.table().count() >= before + 3; }, 30000));
        QVERIFY(run.running());
        run.stop();
        ::close(null);
        QCOMPARE(run.status(), int(Headless::Ok));
        QVERIFY(waitUntil([&] { return cable.output().contains("output 1 11: 00 01 5b"); }, 5000));
        MeasurementTable back;
        QCOMPARE(DataFiles::loadTable(o.Output, back, true), DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), run.table().count());
        for (qint64 r = 0; r < back.count(); ++r)
            QCOMPARE(back.no(r), std::optional<qint32>(qint32(r + 1)));
    }

    // The installed command against the uhid cable: --list, live rows on standard output and
    // in the file, SIGTERM, exit 0, and a file that loads.
    void headlessCommandOnTheVirtualCable()
    {
        Cable cable;
        QProcess list;
        list.start(TX9_LOGGER, {"--headless", "--list"});
        QVERIFY(list.waitForFinished(10000));
        QCOMPARE(list.exitCode(), 0);
        const QString listed = QString::fromUtf8(list.readAllStandardOutput());
        QVERIFY2(listed.startsWith("*  1  /dev/hidraw") &&
                     listed.contains("1A86:E008  USB to Serial"),
                 qPrintable(listed));

        const QString file = QDir::temp().filePath("headless-command.txt");
        QProcess p;
        p.start(TX9_LOGGER, {"--headless", "--interval", "0", "-o", file, "--stdout"});
        QVERIFY(p.waitForStarted());
        QByteArray out;
        QVERIFY(waitUntil(
            [&] {
                out += p.readAllStandardOutput();
                return out.count('\n') >= 3 || p.state() != QProcess::Running;
            },
            30000));
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        out += p.readAllStandardOutput();
        QVERIFY(waitUntil([&] { return cable.output().contains("output 1 11: 00 01 5b"); }, 5000));
        MeasurementTable back;
        QCOMPARE(DataFiles::loadTable(file, back, true), DataFiles::LoadStatus::Ok);
        QCOMPARE(qint64(out.count('\n')), back.count());
        QVERIFY(back.count() >= 3);
    }

    void twoCablesTwoLoggers_data()
    {
        QTest::addColumn<bool>("gadget");
        QTest::newRow("two usb cables") << true;
        QTest::newRow("uhid beside usb") << false;
    }
    void twoCablesTwoLoggers()
    {
        QFETCH(bool, gadget);
        Cable a(cableA()), b(cableB(gadget));
        Logger la({"--device", "KA1"}, "cable-ka1.txt"), lb({"--device", "KB2"}, "cable-kb2.txt");
        QVERIFY2(waitUntil([&] { return la.rows().size() >= 3 && lb.rows().size() >= 3; }, 30000),
                 qPrintable(la.errors() + lb.errors()));
        const QString list = listed();
        QVERIFY2(list.contains(QStringLiteral("cable ID KA1  logged by PID %1").arg(la.pid())) &&
                     list.contains(QStringLiteral("cable ID KB2  logged by PID %1").arg(lb.pid())),
                 qPrintable(list));
        QCOMPARE(la.end(), 0);
        QCOMPARE(lb.end(), 0);
        QCOMPARE(la.units(), QSet<QString>{"#"});
        QCOMPARE(lb.units(), QSet<QString>{"?"});
    }

    // A second logger on a cable in use ends at once with 10 and names the first, which goes
    // on untouched; a window on that cable is refused too, with the holder's PID.
    void sameCableTwiceIsRefused()
    {
        Cable a(cableA()), b(cableB(true));
        Logger first({"--device", "KA1"}, "twice-first.txt");
        QVERIFY(waitUntil([&] { return first.rows().size() >= 3; }, 30000));
        QElapsedTimer clock;
        clock.start();
        Logger second({"--device", "KA1"}, QString());
        QVERIFY(second.process.waitForFinished(60000));
        QCOMPARE(second.process.exitCode(), int(Headless::CableInUse));
        // At once: no waiting for the cable (its --wait would wait; a program's start alone
        // may take seconds in an emulated machine).
        QVERIFY(clock.elapsed() < 20000);
        const QString said = second.errors();
        QVERIFY2(said.contains(QStringLiteral("in use by PID %1").arg(first.pid())),
                 qPrintable(said));
        {
            ScriptedPrompts prompts;
            prompts.messageAnswers.enqueue(int(DialogButton::OK));
            HidrawPlatform platform;
            TFCOMM w(&platform);
            w.chooseCable("KA1");
            QVERIFY(waitUntil([&] { return w.DevListBox->currentRow() >= 0; }, 10000));
            w.USBCon->click();
            QVERIFY(!w.USBCon->isChecked());
            QVERIFY2(
                !prompts.messages.isEmpty() &&
                    prompts.messages.last().text.contains(
                        QStringLiteral("in use by another logger (PID %1)").arg(first.pid())),
                qPrintable(prompts.messages.isEmpty() ? QString() : prompts.messages.last().text));
        }
        const qsizetype rows = first.rows().size();
        QVERIFY(waitUntil([&] { return first.rows().size() > rows + 2; }, 20000));
        QCOMPARE(first.end(), 0);
        QCOMPARE(first.units(), QSet<QString>{"#"});
    }

    // A is pulled and, while it is away, another cable takes a node, so that A comes back on
    // another one; B stays. A's run goes on with A (its numbering unbroken), B's never stops,
    // and neither takes the other cable or the newcomer.
    void replugFollowsItsOwnCable()
    {
        Cable a(cableA()), b(cableB(true));
        Logger la({"--device", "KA1"}, "follow-a.txt"), lb({"--device", "KB2"}, "follow-b.txt");
        QVERIFY(waitUntil([&] { return la.rows().size() >= 3 && lb.rows().size() >= 3; }, 30000));
        const QString nodeBefore = listed().section("\n", 0, -1);
        a.signal(SIGUSR1);
        QVERIFY(waitUntil([&] { return a.output().contains("unplugged"); }, 10000));
        Cable c({"--serial", "KC3", "--fahrenheit"}); // through uhid: a node of its own
        QTest::qWait(1500);
        const qsizetype bRows = lb.rows().size();
        a.signal(SIGUSR2);
        QVERIFY(waitUntil([&] { return a.output().count("plugged") >= 3; }, 10000));
        const qsizetype aRows = la.rows().size();
        QVERIFY2(waitUntil([&] { return la.rows().size() >= aRows + 3; }, 30000),
                 qPrintable(la.errors()));
        QVERIFY(lb.rows().size() > bRows); // B went on all along
        const QString list = listed();
        QVERIFY2(list.contains(QStringLiteral("cable ID KA1  logged by PID %1").arg(la.pid())) &&
                     list.contains(QRegularExpression("cable ID KC3\n")), // nobody's
                 qPrintable(list + nodeBefore));
        QCOMPARE(la.end(), 0);
        QCOMPARE(lb.end(), 0);
        QCOMPARE(la.units(), QSet<QString>{"#"});
        QCOMPARE(lb.units(), QSet<QString>{"?"});
        const QStringList rows = la.rows();
        for (int r = 0; r < rows.size(); ++r)
            QCOMPARE(rows[r].section('\t', 0, 0).toInt(), r + 1);
    }

    // Runs without --device take the free cables, one each; a third ends with 3, or with
    // --wait waits and takes a cable once it is free.
    void firstFreeCable()
    {
        Cable a(cableA()), b(cableB(true));
        Logger one({}, "free-1.txt");
        QVERIFY(waitUntil([&] { return one.rows().size() >= 1; }, 30000));
        Logger two({}, "free-2.txt");
        QVERIFY(waitUntil([&] { return two.rows().size() >= 1; }, 30000));
        Logger three({}, QString());
        QVERIFY(three.process.waitForFinished(60000));
        QCOMPARE(three.process.exitCode(), int(Headless::NoCable));
        Logger waiting({"--wait"}, "free-wait.txt");
        QTest::qWait(2000);
        QCOMPARE(waiting.process.state(), QProcess::Running);
        QVERIFY(waiting.rows().isEmpty());
        QCOMPARE(one.end(), 0);
        QVERIFY2(waitUntil([&] { return waiting.rows().size() >= 3; }, 30000),
                 qPrintable(waiting.errors()));
        QCOMPARE(two.end(), 0);
        QCOMPARE(waiting.end(), 0);
        QCOMPARE(one.units().size(), 1);
        QCOMPARE(two.units().size(), 1);
        QVERIFY(one.units() != two.units());    // one cable each
        QCOMPARE(waiting.units(), one.units()); // the one given up
    }

    // Two windows, each a process of its own as a user would start them, on two cables
    // chosen by ID: each records its own thermometer only.
    void twoWindowsTwoCables()
    {
        Cable a(cableA()), b(cableB(true));
        QProcess windows[2];
        const char *ids[2] = {"KA1", "KB2"};
        for (int i = 0; i < 2; ++i) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("TX9_KERNEL_WINDOW_CABLE", ids[i]);
            env.insert("XDG_STATE_HOME", QDir::temp().filePath(QStringLiteral("window-%1").arg(i)));
            windows[i].setProcessEnvironment(env);
            windows[i].start(QCoreApplication::applicationFilePath(), {});
        }
        for (QProcess &w : windows) {
            QVERIFY(w.waitForFinished(60000));
            QVERIFY2(w.exitCode() == 0, w.readAllStandardError().constData());
        }
        QCOMPARE(windows[0].readAllStandardOutput(), QByteArray("units #\n"));
        QCOMPARE(windows[1].readAllStandardOutput(), QByteArray("units ?\n"));
    }

    // The opt-in rule under udevd: each USB cable gets the systemd tag and wants its own
    // instance, by its serial number, or by its port path when it has none.
    void udevStartsTheTemplate()
    {
        Cable a(cableA()), b({"--gadget", "--udc", "1"});
        const QStringList properties = udevProperties();
        QStringList wants;
        for (const QString &p : properties) {
            QVERIFY2(p.contains(QRegularExpression("^TAGS=.*:systemd:",
                                                   QRegularExpression::MultilineOption)),
                     qPrintable(p));
            wants << QRegularExpression("^SYSTEMD_WANTS=(.*)$", QRegularExpression::MultilineOption)
                         .match(p)
                         .captured(1);
        }
        QCOMPARE(wants.size(), 2);
        QVERIFY2(wants.removeAll(QStringLiteral("tx9-logger@KA1.service")) == 1,
                 qPrintable(wants.join(' ')));
        // The port path of a cable without a serial number, as systemd-escape writes it.
        QVERIFY2(QRegularExpression("^tx9-logger@\\d\\\\x2d\\d(\\.\\d+)*\\.service$")
                     .match(wants[0])
                     .hasMatch(),
                 qPrintable(wants[0]));
    }

    // A serial number is never split into words on its way to systemd: a cable calling itself
    // "x poweroff.target y" wants exactly one unit, its own; a long one is shortened with a
    // hash within systemd's 255 characters, as tx9-logger names it.
    void udevSerialNumbersWantOneUnit_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::newRow("spaces and a unit") << "x poweroff.target y";
        // The gadget takes at most 126 bytes of UTF-8: 63 characters, whose instance name
        // unshortened would be 504 characters long.
        QTest::newRow("63 non-ASCII") << QString(63, QChar(0xe9));
    }
    void udevSerialNumbersWantOneUnit()
    {
        QFETCH(QString, serial);
        Cable a({"--gadget", "--udc", "0", "--serial", serial});
        QStringList wants;
        for (const QString &p : udevProperties())
            wants << QRegularExpression("^SYSTEMD_WANTS=(.*)$", QRegularExpression::MultilineOption)
                         .match(p)
                         .captured(1);
        QCOMPARE(wants.size(), 1);
        QCOMPARE(wants[0], CableIds::unitName(serial));
        QVERIFY2(!wants[0].contains(' ') && wants[0].size() <= 255, qPrintable(wants[0]));
    }

    // The plug-in service lives past midnight: the template unit's own command, as systemd
    // runs it, on one day and again on the next (after a reboot, say), goes on in the same
    // file with its numbering unbroken; a file it cannot go on with ends it with a status the
    // unit does not restart on.
    void pluginServiceAcrossDays()
    {
        QFile unit(TX9_UNIT_TEMPLATE);
        QVERIFY(unit.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(unit.readAll());
        const QString exec =
            QRegularExpression("^ExecStart=(.*)$", QRegularExpression::MultilineOption)
                .match(text)
                .captured(1);
        const QStringList prevent = QRegularExpression("^RestartPreventExitStatus=(.*)$",
                                                       QRegularExpression::MultilineOption)
                                        .match(text)
                                        .captured(1)
                                        .split(' ');
        const QString state = QDir::temp().filePath("unit-state/KA1");
        QDir(state).removeRecursively();
        QVERIFY(QDir().mkpath(state));
        QStringList args;
        for (const QString &word : exec.split(' ', Qt::SkipEmptyParts)) {
            if (word == "$TX9_OPTIONS")
                args << "--interval"
                     << "0";
            else
                args << QString(word).replace("${STATE_DIRECTORY}", state).replace("%I", "KA1");
        }
        QCOMPARE(args.takeFirst(), QStringLiteral("/usr/bin/tx9-logger"));
        const QString file = args[args.indexOf("--output") + 1];
        Cable a(cableA());
        auto day = [&](bool yesterday, int rows) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("XDG_STATE_HOME", state);
            if (yesterday) {
                env.insert("LD_PRELOAD", TX9_FAKETIME_LIB);
                env.insert("FAKETIME", "-1d");
                env.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
            }
            p.setProcessEnvironment(env);
            p.start(TX9_LOGGER, args);
            const bool logged = waitUntil(
                [&] {
                    QFile f(file);
                    return f.open(QIODevice::ReadOnly) && f.readAll().count('\n') >= rows + 1;
                },
                60000);
            p.terminate();
            p.waitForFinished(30000);
            return logged && p.exitCode() == 0 ? QString()
                                               : QString::fromUtf8(p.readAllStandardError());
        };
        QString failed = day(true, 3);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        failed = day(false, 7);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QSet<QString> dates;
        for (int i = 1; i < lines.size() - 1; ++i) {
            QCOMPARE(lines[i].split(',').value(0).toInt(), i); // numbering unbroken
            dates << QString::fromLatin1(lines[i].split(',').value(1).left(10));
        }
        QCOMPARE(dates, (QSet<QString>{QDate::currentDate().addDays(-1).toString(Qt::ISODate),
                                       QDate::currentDate().toString(Qt::ISODate)}));
        // A file that cannot be gone on with: said, and the unit does not restart on it.
        f.close();
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("something else\n");
        f.close();
        QProcess p;
        p.start(TX9_LOGGER, args);
        QVERIFY(p.waitForFinished(60000));
        QVERIFY(prevent.contains(QString::number(p.exitCode())));
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("Cannot append"));
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    if (qEnvironmentVariableIsSet("TX9_KERNEL_WINDOW_CABLE"))
        return tst_KernelHidraw::windowOnCable(qEnvironmentVariable("TX9_KERNEL_WINDOW_CABLE"));
    tst_KernelHidraw tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_KernelHidraw.moc"
