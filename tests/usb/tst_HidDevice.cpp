#include "HidTestHelpers.h"

#include <QElapsedTimer>
#include <QtTest>

// One device: construction, channels, strings, reports, and its reader with the hand-off.
class tst_HidDevice : public QObject
{
    Q_OBJECT

    struct Rig
    {
        SimulatedHidBus bus;
        EventLog log;
        int id = 0;
        std::unique_ptr<THidDeviceController> ctl;
        THidDevice *dev = nullptr;
        explicit Rig(const VirtualInterface &v = cable("a"))
        {
            id = bus.plug(v);
            ctl = std::make_unique<THidDeviceController>(&bus);
        }
        bool claim() { return ctl->ClaimDeviceAt(dev, 0); }
        ~Rig()
        {
            if (dev)
                ctl->ReleaseDevice(dev);
        }
    };

private slots:
    void constructionFallsBackToQueryOnly()
    {
        VirtualInterface v = cable("a");
        v.QueryOnly = true;
        Rig rig(v);
        QVERIFY(rig.claim());
        QVERIFY(!rig.dev->ReadWriteAccess());
        QCOMPARE(rig.dev->VendorID(), quint16(0x1a86));
        QCOMPARE(rig.dev->ProductID(), quint16(0xe008));
        QCOMPARE(rig.dev->VersionNumber(), quint16(0x0100));
        // A query-only device never gets a reader.
        rig.dev->SetDataHandler(THidDataEvent(&rig.log, &EventLog::Data));
        QVERIFY(!rig.dev->HasReader());
        int written = 0;
        const quint8 report[11] = {};
        QVERIFY(!rig.dev->WriteReport(report, 11, written));
    }

    void constructionFailures()
    {
        SimulatedHidBus bus;
        VirtualInterface v = cable("a");
        v.OpenFails = true;
        bus.plug(v);
        auto info = std::make_shared<THidPnPInfo>();
        info->DevInst = "a";
        info->DevicePath = "/sim/a";
        try {
            THidDevice d(&bus, info, nullptr);
            QFAIL("built");
        } catch (const EControllerError &e) {
            QCOMPARE(e.Message, QStringLiteral("device cannot be opened"));
        }
        VirtualInterface w = cable("b");
        w.AttributesFail = true;
        bus.plug(w);
        info->DevicePath = "/sim/b";
        try {
            THidDevice d(&bus, info, nullptr);
            QFAIL("built");
        } catch (const EControllerError &e) {
            QCOMPARE(e.Message, QStringLiteral("device cannot be identified"));
        }
        QCOMPARE(bus.openHandles(1) + bus.openHandles(2), 0);
    }

    void channelsNeedAccess()
    {
        Rig rig;
        THidDevice *d = rig.ctl->Devices()[0];
        QVERIFY(!d->Accessible());
        QVERIFY(!d->OpenControl());
        QCOMPARE(d->ProductString(), QString());
        QCOMPARE(d->Capabilities().InputReportByteLength, quint16(0));
        QVERIFY(rig.claim());
        QVERIFY(rig.dev->OpenControl());
        QVERIFY(rig.dev->ControlOpen());
        rig.dev->CloseControl();
        QCOMPARE(rig.bus.openHandles(rig.id), 0);
        const HidCaps caps = rig.dev->Capabilities();
        QCOMPARE(caps.InputReportByteLength, quint16(11));
        QCOMPARE(caps.OutputReportByteLength, quint16(11));
        QCOMPARE(caps.FeatureReportByteLength, quint16(10));
    }

    void stringsAreCachedAndRetried()
    {
        VirtualInterface v = cable("a");
        v.StringsFail = true;
        Rig rig(v);
        QVERIFY(rig.claim());
        QCOMPARE(rig.dev->ProductString(), QString());
        rig.bus.update(rig.id, [](VirtualInterface &c) { c.StringsFail = false; });
        QCOMPARE(rig.dev->ProductString(), QStringLiteral("USB to Serial"));
        rig.bus.update(rig.id, [](VirtualInterface &c) { c.Product = "changed"; });
        QCOMPARE(rig.dev->ProductString(), QStringLiteral("USB to Serial"));
        QCOMPARE(rig.bus.openHandles(rig.id), 0);
    }

    void serialString_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QList<quint16>>("languages");
        QTest::addColumn<bool>("echo");
        QTest::addColumn<QString>("expected");
        QTest::newRow("serial") << "AB12" << QList<quint16>{0x0409} << false << "AB12";
        QTest::newRow("no serial") << "" << QList<quint16>{0x0409} << false << "";
        QTest::newRow("echoed language list") << "" << QList<quint16>{0x0409} << true << "";
        QTest::newRow("empty language list") << "AB12" << QList<quint16>{} << false << "";
        QTest::newRow("two languages") << "X" << QList<quint16>{0x0409, 0x0407} << false << "X";
    }
    void serialString()
    {
        QFETCH(QString, serial);
        QFETCH(QList<quint16>, languages);
        QFETCH(bool, echo);
        VirtualInterface v = cable("a");
        v.Serial = serial;
        v.Languages = languages;
        v.SerialEchoesLanguages = echo;
        Rig rig(v);
        QVERIFY(rig.claim());
        QTEST(rig.dev->SerialString(), "expected");
    }

    void reportsAndFeatures()
    {
        Rig rig;
        QVERIFY(rig.claim());
        const quint8 out[11] = {0, 1, 90};
        int written = 0;
        QVERIFY(rig.dev->WriteReport(out, 11, written));
        QCOMPARE(written, 11);
        QVERIFY(rig.dev->ControlOpen()); // stays open afterwards
        const quint8 feature[10] = {0, 0x60, 0x09, 0, 0, 3};
        QVERIFY(rig.dev->SendFeature(feature, 10));
        QCOMPARE(rig.bus.outputs(rig.id).size(), 1);
        QCOMPARE(rig.bus.outputs(rig.id)[0].at(2), char(90));
        QCOMPARE(rig.bus.features(rig.id)[0].size(), 10);
        rig.bus.update(rig.id, [](VirtualInterface &c) { c.WriteFails = c.FeatureFails = true; });
        QVERIFY(!rig.dev->WriteReport(out, 11, written));
        QVERIFY(!rig.dev->SendFeature(feature, 10));
        // Input buffer counts: 0 means the driver's own; a set count is read back.
        rig.dev->SetInputBufferCount(0);
        QCOMPARE(rig.dev->InputBufferCount(), 0);
        rig.dev->SetInputBufferCount(8);
        QCOMPARE(rig.dev->InputBufferCount(), 8);
        rig.dev->CloseControl();
        QCOMPARE(rig.dev->InputBufferCount(), 0);
    }

    void readWaitTimeRange()
    {
        Rig rig;
        THidDevice *d = rig.ctl->Devices()[0];
        QCOMPARE(d->ReadWaitTime(), 100);
        d->SetReadWaitTime(9);
        QCOMPARE(d->ReadWaitTime(), 100);
        d->SetReadWaitTime(10);
        QCOMPARE(d->ReadWaitTime(), 10);
        d->SetReadWaitTime(10001);
        QCOMPARE(d->ReadWaitTime(), 10);
        d->SetReadWaitTime(10000);
        QCOMPARE(d->ReadWaitTime(), 10000);
    }

    void readerDeliversReports()
    {
        Rig rig;
        rig.ctl->SetOnDeviceData(THidDataEvent(&rig.log, &EventLog::Data));
        QVERIFY(rig.claim()); // the claim starts the reader: the data handler is set
        QVERIFY(rig.dev->HasReader());
        rig.dev->SetReadWaitTime(10);
        rig.bus.pushInput(rig.id, QByteArray("\x00\x02\x41\x42", 4));
        rig.bus.pushInput(rig.id, QByteArray());          // 0 bytes: not delivered
        rig.bus.pushInput(rig.id, QByteArray("\x07", 1)); // the ID byte alone: Size 0
        QTRY_COMPARE(rig.log.data.size(), 2);
        QCOMPARE(rig.log.data[0], QByteArray("\x00\x02\x41\x42", 4));
        QCOMPARE(rig.log.data[1], QByteArray("\x07", 1));
        // A second handler takes over without a new reader.
        rig.log.events.clear();
        rig.dev->SetDataHandler(THidDataEvent(&rig.log, &EventLog::OtherData));
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x33", 3));
        QTRY_COMPARE(rig.log.data.size(), 3);
        QCOMPARE(rig.log.events, QStringList({"other data"}));
        // An empty handler stops the reader.
        rig.dev->SetDataHandler(THidDataEvent());
        QVERIFY(!rig.dev->HasReader());
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x34", 3));
        QTest::qWait(50);
        QCOMPARE(rig.log.data.size(), 3);
    }

    void readErrorsGoToTheErrorHandlerWithoutSpinning()
    {
        VirtualInterface v = cable("a");
        v.ReadStartError = 5;
        Rig rig(v);
        rig.ctl->SetOnDeviceDataError(THidDataErrorEvent(&rig.log, &EventLog::DataError));
        rig.ctl->SetOnDeviceData(THidDataEvent(&rig.log, &EventLog::Data));
        QVERIFY(rig.claim());
        rig.dev->SetReadWaitTime(50);
        QTest::qWait(400);
        // One failure per slice at most, not a busy loop.
        QVERIFY(!rig.log.errors.isEmpty());
        QVERIFY2(rig.log.errors.size() <= 12, qPrintable(QString::number(rig.log.errors.size())));
        QCOMPARE(rig.log.errors.first(), quint32(5));
        // Reading goes on once the device recovers.
        rig.bus.update(rig.id, [](VirtualInterface &c) { c.ReadStartError = 0; });
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x35", 3));
        QTRY_COMPARE(rig.log.data.size(), 1);
    }

    void unpluggedReaderReportsErrors()
    {
        Rig rig;
        rig.ctl->SetOnDeviceDataError(THidDataErrorEvent(&rig.log, &EventLog::DataError));
        rig.ctl->SetOnDeviceData(THidDataEvent(&rig.log, &EventLog::Data));
        QVERIFY(rig.claim());
        rig.dev->SetReadWaitTime(20);
        rig.bus.unplug(rig.id);
        QVERIFY(!rig.dev->Plugged());
        QVERIFY(rig.dev->HasReader()); // unplugging does not stop the reader
        QTRY_VERIFY(!rig.log.errors.isEmpty());
        rig.ctl->ReleaseDevice(rig.dev);
        rig.dev = nullptr;
        QCOMPARE(rig.ctl->Devices().size(), 0);
    }

    // The kernel reuses a gone device's node for the next device: a reader whose device has
    // gone never opens it again, even before a rescan has told anyone.
    void goneDeviceIsNotReopened()
    {
        Rig rig;
        rig.ctl->SetOnDeviceData(THidDataEvent(&rig.log, &EventLog::Data));
        rig.ctl->SetOnDeviceDataError(THidDataErrorEvent(&rig.log, &EventLog::DataError));
        QVERIFY(rig.claim());
        rig.dev->SetReadWaitTime(10);
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x31", 3));
        QTRY_COMPARE(rig.log.data.size(), 1);
        const int other = rig.bus.replaceQuietly(rig.id, cable("b"));
        rig.bus.pushInput(other, QByteArray("\x00\x01\x32", 3));
        QTRY_VERIFY(!rig.log.errors.isEmpty());
        QTest::qWait(100);
        QCOMPARE(rig.log.data.size(), 1); // the newcomer's report was not read
        QCOMPARE(rig.bus.openHandles(other), 0);
    }

    // A device whose input reports are shorter than two bytes has nothing to read: no reader
    // starts (a read of nothing would never return).
    void noReaderWithoutInputReports()
    {
        VirtualInterface v = cable("a");
        v.Caps = {1, 11, 10};
        Rig rig(v);
        rig.ctl->SetOnDeviceData(THidDataEvent(&rig.log, &EventLog::Data));
        QVERIFY(rig.claim());
        QVERIFY(!rig.dev->HasReader());
    }

    void stopDropsQueuedReports()
    {
        Rig rig;
        rig.ctl->SetOnDeviceData(THidDataEvent(&rig.log, &EventLog::Data));
        QVERIFY(rig.claim());
        rig.dev->SetReadWaitTime(10);
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x36", 3));
        // The reader reads on while the GUI thread is busy; the report waits in its queue.
        QThread::msleep(100);
        QVERIFY(rig.log.data.isEmpty());
        rig.dev->SetDataHandler(THidDataEvent()); // must not wait for the GUI thread
        QVERIFY(!rig.dev->HasReader());
        // No handler call comes after the stop, though the drain was already posted.
        QCoreApplication::processEvents();
        QCOMPARE(rig.log.data.size(), 0);
    }

    void stopFromInsideTheHandler()
    {
        Rig rig;
        rig.ctl->SetOnDeviceData(THidDataEvent(&rig.log, &EventLog::Data));
        QVERIFY(rig.claim());
        rig.dev->SetReadWaitTime(10);
        THidDevice *dev = rig.dev;
        rig.log.onData = [dev] { dev->SetDataHandler(THidDataEvent()); };
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x37", 3));
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x38", 3));
        QTRY_VERIFY(!rig.dev->HasReader());
        QTest::qWait(50);
        QCOMPARE(rig.log.data.size(), 1);
        // And the device may even be released from inside its handler.
        rig.log.onData = [&rig] {
            rig.ctl->ReleaseDevice(rig.dev);
            rig.dev = nullptr;
        };
        rig.dev->SetDataHandler(THidDataEvent(&rig.log, &EventLog::Data));
        rig.bus.pushInput(rig.id, QByteArray("\x00\x01\x39", 3));
        QTRY_COMPARE(rig.log.data.size(), 2);
        QTRY_VERIFY(rig.dev == nullptr);
        QCOMPARE(rig.ctl->Devices().size(), 1);
    }
};

QTEST_MAIN(tst_HidDevice)
#include "tst_HidDevice.moc"
