#include "HidTestHelpers.h"

#include <QtTest>

// The controller's list keeping, rescans, claiming and handler propagation on the simulated bus.
class tst_HidController : public QObject
{
    Q_OBJECT

private slots:
    void onlyOneController()
    {
        SimulatedHidBus bus;
        bus.plug(cable("a"));
        THidDeviceController first(&bus);
        EventLog log;
        first.SetOnDeviceChange(TNotifyEvent(&log, &EventLog::Change));
        try {
            THidDeviceController second(&bus);
            QFAIL("a second controller was built");
        } catch (const EControllerError &e) {
            QCOMPARE(e.Message,
                     QStringLiteral("Only one THidDeviceController allowed per program"));
        }
        // The first keeps its notifications.
        log.events.clear();
        bus.plug(cable("b"));
        QCOMPARE(log.events, QStringList({"change"}));
        QCOMPARE(first.Devices().size(), 2);
        QCOMPARE(THidDeviceController::Version(), QStringLiteral("1.0.22"));
        QCOMPARE(first.DevThreadSleepTime(), 100);
    }

    void initialScanAndFirstChange()
    {
        SimulatedHidBus bus;
        bus.plug(cable("a"));
        bus.plug(cable("b"));
        VirtualInterface broken = cable("c");
        broken.OpenFails = true;
        bus.plug(broken);
        VirtualInterface anonymous = cable("d");
        anonymous.AttributesFail = true;
        bus.plug(anonymous);
        EventLog log;
        THidDeviceController ctl(&bus);
        ctl.SetOnArrival(THidPlugEvent(&log, &EventLog::Arrival));
        QCOMPARE(ctl.Devices().size(), 2); // the broken interfaces are left out
        QCOMPARE(ctl.AvailableCount(), 2);
        QVERIFY(log.events.isEmpty());
        // The first assignment fires at once, even with nothing changed.
        ctl.SetOnDeviceChange(TNotifyEvent(&log, &EventLog::Change));
        QCOMPARE(log.events, QStringList({"change"}));
        // The same method again runs no rescan; a rescan without changes fires nothing.
        ctl.SetOnDeviceChange(TNotifyEvent(&log, &EventLog::Change));
        ctl.DeviceChange();
        QCOMPARE(log.events, QStringList({"change"}));
        // Another method is a new handler: it fires, but nothing changed, so only once.
        ctl.SetOnDeviceChange(TNotifyEvent(&log, &EventLog::OtherChange));
        QCOMPARE(log.events, QStringList({"change"}));
    }

    void rescanOrder()
    {
        SimulatedHidBus bus;
        const int a = bus.plug(cable("a"));
        const int b = bus.plug(cable("b"));
        EventLog log;
        THidDeviceController ctl(&bus);
        ctl.SetOnArrival(THidPlugEvent(&log, &EventLog::Arrival));
        ctl.SetOnRemoval(THidPlugEvent(&log, &EventLog::Removal));
        ctl.SetOnDeviceUnplug(THidPlugEvent(&log, &EventLog::Unplug));
        ctl.SetOnDeviceChange(TNotifyEvent(&log, &EventLog::Change));
        log.events.clear();
        bus.setAvailable(true);
        // Two removals and two arrivals in one rescan.
        QObject::disconnect(&bus, nullptr, &ctl, nullptr);
        bus.unplug(a);
        bus.unplug(b);
        bus.plug(cable("c"));
        bus.plug(cable("d"));
        ctl.DeviceChange();
        QCOMPARE(log.events, QStringList({"unplug b", "removal b", "unplug a", "removal a",
                                          "arrival c", "arrival d", "change"}));
        QCOMPARE(ctl.Devices().size(), 2);
    }

    void claimedDeviceUnplugged()
    {
        SimulatedHidBus bus;
        const int a = bus.plug(cable("a"));
        bus.plug(cable("b"));
        EventLog log;
        THidDeviceController ctl(&bus);
        ctl.SetOnRemoval(THidPlugEvent(&log, &EventLog::Removal));
        ctl.SetOnDeviceUnplug(THidPlugEvent(&log, &EventLog::Unplug));
        THidDevice *dev = nullptr;
        QVERIFY(ctl.ClaimDeviceAt(dev, 0));
        QCOMPARE(ctl.ClaimedCount(), 1);
        QCOMPARE(ctl.AvailableCount(), 1);
        bus.unplug(a);
        QCOMPARE(log.events, QStringList({"unplug a", "removal a"}));
        QVERIFY(!dev->Plugged());
        QCOMPARE(ctl.Devices().size(), 2); // stays until released
        QCOMPARE(ctl.UnpluggedCount(), 1);
        QCOMPARE(ctl.ClaimedCount(), 0);
        // Removal again at every rescan, the unplug handler only once.
        ctl.DeviceChange();
        QCOMPARE(log.events, QStringList({"unplug a", "removal a", "removal a"}));
        // Indices skip the unplugged device.
        ctl.SetOnEnumerate(THidEnumerateEvent(&log, &EventLog::Enumerate));
        QCOMPARE(ctl.EnumerateDevices(), 1);
        QCOMPARE(log.events.last(), QStringLiteral("enumerate b 1"));
        ctl.ReleaseDevice(dev);
        QCOMPARE(ctl.Devices().size(), 1);
        QCOMPARE(ctl.UnpluggedCount(), 0);
        // A replugged interface is a new device.
        log.events.clear();
        ctl.SetOnArrival(THidPlugEvent(&log, &EventLog::Arrival));
        bus.plug(cable("a"));
        QCOMPARE(log.events, QStringList({"arrival a"}));
    }

    void enumerateAndClaim()
    {
        SimulatedHidBus bus;
        bus.plug(cable("a"));
        bus.plug(cable("b"));
        bus.plug(cable("c"));
        EventLog log;
        THidDeviceController ctl(&bus);
        // Without a handler the first plugged device counts and the walk stops.
        QCOMPARE(ctl.EnumerateDevices(), 1);
        ctl.SetOnEnumerate(THidEnumerateEvent(&log, &EventLog::Enumerate));
        log.enumerateResult = false;
        QCOMPARE(ctl.EnumerateDevices(), 1);
        log.enumerateResult = true;
        QList<THidDevice *> claimed;
        log.onEnumerate = [&](THidDevice *d) {
            QVERIFY(d->InEvent());
            QVERIFY(d->Accessible());
            QCOMPARE(d->ProductString(), QStringLiteral("USB to Serial"));
            THidDevice *got = nullptr;
            QVERIFY(ctl.ClaimDeviceAt(got, int(ctl.Devices().indexOf(d))));
            claimed << got;
        };
        QCOMPARE(ctl.EnumerateDevices(), 3);
        QCOMPARE(claimed.size(), 3);
        QCOMPARE(bus.openHandles(1), 0); // strings read, channels closed again
        THidDevice *out = reinterpret_cast<THidDevice *>(1);
        QVERIFY(!ctl.ClaimDeviceAt(out, -1));
        QVERIFY(!out);
        QVERIFY(!ctl.ClaimDeviceAt(out, 3));
        QVERIFY(!ctl.ClaimDeviceAt(out, 0));
        QVERIFY(!out);
        QCOMPARE(ctl.ClaimedCount(), 3);
        QCOMPARE(ctl.AvailableCount(), 0);
    }

    void releaseGivesAFreshDevice()
    {
        SimulatedHidBus bus;
        const int a = bus.plug(cable("a"));
        bus.plug(cable("b"));
        EventLog log;
        THidDeviceController ctl(&bus);
        ctl.SetOnDeviceData(THidDataEvent(&log, &EventLog::Data));
        THidDevice *dev = nullptr;
        QVERIFY(ctl.ClaimDeviceAt(dev, 0));
        dev->SetReadWaitTime(50);
        dev->DataErrorHandler = THidDataErrorEvent(&log, &EventLog::DataError);
        ctl.ReleaseDevice(dev);
        QCOMPARE(ctl.Devices().size(), 2);
        THidDevice *fresh = ctl.Devices()[0];
        QVERIFY(!fresh->Claimed());
        QCOMPARE(fresh->PnPInfo().DevInst, QStringLiteral("a"));
        QCOMPARE(fresh->ReadWaitTime(), 50);
        QVERIFY(fresh->DataHandler().sameAs(THidDataEvent(&log, &EventLog::Data)));
        QVERIFY(bool(fresh->DataErrorHandler));
        QCOMPARE(ctl.ClaimedCount(), 0);
        QCOMPARE(ctl.AvailableCount(), 2);
        // A fresh device that cannot be built drops the slot.
        QVERIFY(ctl.ClaimDeviceAt(dev, 0));
        bus.update(a, [](VirtualInterface &v) { v.OpenFails = true; });
        ctl.ReleaseDevice(dev);
        QCOMPARE(ctl.Devices().size(), 1);
        QCOMPARE(ctl.Devices()[0]->PnPInfo().DevInst, QStringLiteral("b"));
        QCOMPARE(ctl.AvailableCount(), 1);
    }

    void handlerPropagation()
    {
        SimulatedHidBus bus;
        bus.plug(cable("a"));
        bus.plug(cable("b"));
        EventLog log;
        THidDeviceController ctl(&bus);
        ctl.SetOnDeviceData(THidDataEvent(&log, &EventLog::Data));
        ctl.SetOnDeviceUnplug(THidPlugEvent(&log, &EventLog::Unplug));
        ctl.SetOnDeviceDataError(THidDataErrorEvent(&log, &EventLog::DataError));
        THidDevice *a = ctl.Devices()[0];
        THidDevice *b = ctl.Devices()[1];
        // b gets a handler of its own; only devices with the old default follow a change.
        b->SetDataHandler(THidDataEvent(&log, &EventLog::OtherData));
        ctl.SetOnDeviceData(THidDataEvent(&log, &EventLog::OtherData));
        QVERIFY(a->DataHandler().sameAs(THidDataEvent(&log, &EventLog::OtherData)));
        ctl.SetOnDeviceData(THidDataEvent());
        QVERIFY(!a->DataHandler());
        QVERIFY(!b->DataHandler());
        ctl.SetOnDeviceUnplug(THidPlugEvent(&log, &EventLog::Removal));
        QVERIFY(a->UnplugHandler.sameAs(THidPlugEvent(&log, &EventLog::Removal)));
        // Sleep time: devices still at the old value follow; the range check is the device's.
        a->SetReadWaitTime(40);
        ctl.SetDevThreadSleepTime(5);
        QCOMPARE(ctl.DevThreadSleepTime(), 5);
        QCOMPARE(a->ReadWaitTime(), 40);
        QCOMPARE(b->ReadWaitTime(), 100);
        ctl.SetDevThreadSleepTime(200);
        QCOMPARE(b->ReadWaitTime(), 100); // it was not at 5
    }

    void duplicatesAreDropped()
    {
        SimulatedHidBus bus;
        bus.plug(cable("a"));
        THidDeviceController ctl(&bus);
        EventLog log;
        ctl.SetOnArrival(THidPlugEvent(&log, &EventLog::Arrival));
        VirtualInterface twin = cable("a");
        twin.Path = "/sim/other";
        bus.plug(twin);
        QCOMPARE(ctl.Devices().size(), 1);
        QVERIFY(log.events.isEmpty());
    }

    void withoutPlatformLibraries()
    {
        SimulatedHidBus bus;
        bus.plug(cable("a"));
        bus.setAvailable(false);
        THidDeviceController ctl(&bus);
        EventLog log;
        ctl.SetOnDeviceChange(TNotifyEvent(&log, &EventLog::Change));
        QCOMPARE(ctl.Devices().size(), 0);
        log.events.clear();
        bus.plug(cable("b"));
        QVERIFY(log.events.isEmpty()); // no notifications
    }

    // Every event's handler may release the device it is called for; the controller and the
    // reader touch nothing of it afterwards (ASan catches any such touch).
    void handlersMayReleaseTheirDevice()
    {
        struct Releaser
        {
            THidDeviceController *ctl = nullptr;
            QStringList events;
            void release(THidDevice *d, const QString &why)
            {
                events << why + " " + d->PnPInfo().DevInst;
                if (!d->Claimed()) {
                    THidDevice *claimed = nullptr;
                    QVERIFY(ctl->ClaimDeviceAt(claimed, int(ctl->Devices().indexOf(d))));
                }
                ctl->ReleaseDevice(d);
                QVERIFY(d->Released());
                ctl->ReleaseDevice(d); // twice does nothing
            }
            void Removal(THidDevice *d) { release(d, "removal"); }
            void Unplug(THidDevice *d) { release(d, "unplug"); }
            void Arrival(THidDevice *d) { release(d, "arrival"); }
            bool Enumerate(THidDevice *d, int) { return release(d, "enumerate"), true; }
            void DataError(THidDevice *d, quint32) { release(d, "error"); }
            void Data(THidDevice *, quint8, const quint8 *, quint16) {}
            void Change(QObject *)
            {
                events << "change";
                for (THidDevice *d : ctl->Devices())
                    if (d->Claimed())
                        ctl->ReleaseDevice(d);
            }
        };
        SimulatedHidBus bus;
        const int a = bus.plug(cable("a"));
        const int b = bus.plug(cable("b"));
        THidDeviceController ctl(&bus);
        Releaser r{&ctl, {}};

        // Removal of a claimed device: the unplug handler and OnRemoval may both release it.
        THidDevice *dev = nullptr;
        QVERIFY(ctl.ClaimDeviceAt(dev, 0));
        dev->UnplugHandler = THidPlugEvent(&r, &Releaser::Unplug);
        ctl.SetOnRemoval(THidPlugEvent(&r, &Releaser::Removal));
        bus.unplug(a);
        QCOMPARE(r.events, QStringList({"unplug a", "removal a"}));
        QCOMPARE(ctl.Devices().size(), 1);
        QCOMPARE(ctl.UnpluggedCount(), 0);

        // Arrival, enumeration and the device-change handler release what they are given.
        r.events.clear();
        ctl.SetOnArrival(THidPlugEvent(&r, &Releaser::Arrival));
        bus.plug(cable("c"));
        QCOMPARE(r.events, QStringList({"arrival c"}));
        QCOMPARE(ctl.Devices().size(), 2); // a fresh device took the released one's slot
        QVERIFY(!ctl.Devices()[1]->Released());
        r.events.clear();
        ctl.SetOnEnumerate(THidEnumerateEvent(&r, &Releaser::Enumerate));
        QCOMPARE(ctl.EnumerateDevices(), 2);
        QCOMPARE(r.events, QStringList({"enumerate b", "enumerate c"}));
        QCOMPARE(ctl.AvailableCount(), 2);
        r.events.clear();
        QVERIFY(ctl.ClaimDeviceAt(dev, 0));
        ctl.SetOnDeviceChange(TNotifyEvent(&r, &Releaser::Change));
        QCOMPARE(r.events, QStringList({"change"}));
        QCOMPARE(ctl.ClaimedCount(), 0);

        // The reader's error handler releases the device whose reader calls it.
        r.events.clear();
        QVERIFY(ctl.ClaimDeviceAt(dev, 0));
        dev->DataErrorHandler = THidDataErrorEvent(&r, &Releaser::DataError);
        dev->SetDataHandler(THidDataEvent(&r, &Releaser::Data));
        dev->SetReadWaitTime(10);
        bus.update(b, [](VirtualInterface &v) { v.ReadStartError = 5; });
        QTRY_COMPARE(r.events, QStringList({"error b"}));
        QTest::qWait(50);
        QCOMPARE(r.events.size(), 1); // no call after the release
        QCOMPARE(bus.openHandles(b), 0);
    }

    void destructionWithClaimedAndUnclaimed()
    {
        SimulatedHidBus bus;
        bus.plug(cable("a"));
        bus.plug(cable("b"));
        EventLog log;
        THidDevice *held = nullptr;
        {
            THidDeviceController ctl(&bus);
            ctl.SetOnDeviceUnplug(THidPlugEvent(&log, &EventLog::Unplug));
            ctl.SetOnDeviceData(THidDataEvent(&log, &EventLog::Data));
            QVERIFY(ctl.ClaimDeviceAt(held, 0));
            QVERIFY(held->HasReader());
        }
        // The claimed device outlives the controller, unplugged, for its holder.
        QVERIFY(!held->Plugged());
        QCOMPARE(log.events, QStringList({"unplug a"}));
        delete held;
        // A new controller may be made now.
        THidDeviceController again(&bus);
        QCOMPARE(again.Devices().size(), 2);
    }
};

QTEST_MAIN(tst_HidController)
#include "tst_HidController.moc"
