#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/ModalPrompts.h"
#include "common/ScriptedPrompts.h"
#include "common/Wait.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"
#include "session/Journal.h"
#include "sim/SimulatedThermometer.h"
#include "timechart/TimeChart.h"
#include "usb/CableLock.h"
#include "usb/HidControllerClass.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

// The main window on the simulated bus with the simulated thermometer, end to end.
class tst_UsbConnection : public QObject
{
    Q_OBJECT

    struct Rig
    {
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        std::shared_ptr<SimulatedThermometer> meter;
        int cable = 0;
        std::unique_ptr<TFCOMM> w;

        explicit Rig(ThermometerSettings settings = fast(), bool withKeyboard = true)
        {
            if (withKeyboard) {
                VirtualInterface kb;
                kb.InstanceId = "keyboard";
                kb.Product = "Keyboard";
                kb.Attributes = {0x046d, 0xc31c, 1};
                bus.plug(kb);
            }
            meter = std::make_shared<SimulatedThermometer>(settings);
            cable = bus.plug(SimulatedThermometer::cableInterface(), meter);
            w = std::make_unique<TFCOMM>(&bus);
            w->RecordSI->setChecked(false);
        }
        static ThermometerSettings fast()
        {
            ThermometerSettings s;
            // 64 unread reports (the bus keeps no more, like the kernel) are 320 ms of these:
            // room enough for a reader thread on a loaded machine.
            s.IdleIntervalUs = 5000;
            s.LiveIntervalUs = 20000;
            s.ByteGapUs = 100;
            s.OddDisplayEvery = 0;
            return s;
        }
        // Reports the program sent: "F" for a feature report, else the command code.
        QStringList sent() const
        {
            QStringList out;
            for (const QByteArray &f : bus.features(cable))
                out << "F" + QString::number(quint8(f[1]) | quint8(f[2]) << 8);
            return out;
        }
        QList<int> commands() const
        {
            QList<int> out;
            for (const QByteArray &o : bus.outputs(cable))
                out << quint8(o[1]) * 1000 + quint8(o[2]);
            return out;
        }
    };

private slots:
    // The time chart opened while recording says so from the start, names the cable by its
    // ID, opens whole on the screen beside the window, and follows the cable being pulled.
    void timeChartFollowsTheSessionFromTheStart()
    {
        // A journal of its own: no orphan of an earlier window holds it back.
        QTemporaryDir state;
        const QByteArray stateBefore = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        const auto restore = qScopeGuard([&] { qputenv("XDG_STATE_HOME", stateBefore); });
        Rig rig;
        rig.w->show();
        rig.w->USBCon->click();
        QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() >= 2, 10000);
        rig.w->TimeChartEntry->trigger();
        TimeChart *chart = rig.w->timeChart();
        QVERIFY(chart);
        QVERIFY2(chart->statusText().startsWith("Recording from /sim/hidraw-usb-serial."),
                 qPrintable(chart->statusText()));
        // Whole on the screen; on one narrower than the chart can be, from its left edge.
        const QRect room = chart->screen()->availableGeometry(), frame = chart->frameGeometry();
        QVERIFY2(frame.width() <= room.width()
                     ? room.contains(frame)
                     : frame.left() == room.left() && frame.top() >= room.top() &&
                           frame.bottom() <= room.bottom(),
                 qPrintable(QStringLiteral("%1,%2 %3x%4")
                                .arg(frame.x())
                                .arg(frame.y())
                                .arg(frame.width())
                                .arg(frame.height())));
        rig.bus.unplug(rig.cable);
        QTRY_VERIFY_WITH_TIMEOUT(chart->statusText().startsWith("Not connected."), 5000);
        // The journal says the cable was lost: a restore and a report say so of the gap.
        rig.w->RecoveryJournal->flush();
        QFile journal(rig.w->RecoveryJournal->path());
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QByteArray kept = journal.readAll();
        QVERIFY2(kept.contains("#break\tcable-lost\t"), kept.right(300).constData());
    }

    void cableIsSelectedAtStart()
    {
        Rig rig;
        QCOMPARE(rig.w->DevListBox->count(), 2);
        QCOMPARE(rig.w->DevListBox->item(0)->text(), QStringLiteral("Keyboard"));
        QCOMPARE(rig.w->DevListBox->currentRow(), 1);
        QCOMPARE(rig.w->HidCtl->ClaimedCount(), 2);
    }

    void connectSendsBaudThenCommandsAndRecords()
    {
        Rig rig;
        rig.w->USBCon->click();
        QVERIFY(rig.w->USBCon->isChecked());
        QVERIFY(!rig.w->RecallData->isEnabled());
        QCOMPARE(rig.sent(), QStringList({"F2400"}));
        QCOMPARE(rig.commands(), QList<int>({2090, 1090}));
        const QByteArray feature = rig.bus.features(rig.cable).first();
        QCOMPARE(feature, QByteArray("\x00\x60\x09\x00\x00\x03\x00\x00\x00\x00", 10));
        const QByteArray command = rig.bus.outputs(rig.cable).last();
        QCOMPARE(command.size(), 11); // the output report length, zero-filled past byte 2
        QCOMPARE(command, QByteArray("\x00\x01\x5a\x00\x00\x00\x00\x00\x00\x00\x00", 11));
        QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() >= 5, 10000);
        QCOMPARE(rig.w->S.RangeMax, 1055); // the identification frame was read
        QCOMPARE(rig.w->ChartCtl->ValueCount(), rig.w->cds1->count());
        QCOMPARE(rig.w->cds1->row(0).No.value(), 1);
        // The log holds the feature, the two commands and data reports.
        const QStringList log = [&] {
            QStringList l;
            for (int i = 0; i < rig.w->HistoryListBox->count(); ++i)
                l << rig.w->HistoryListBox->item(i)->text();
            return l;
        }();
        QCOMPARE(log[0], QStringLiteral("60 09 00 00 03 00 00 00 00 "));
        QCOMPARE(log[1], QStringLiteral("02 5A 00 00 00 00 00 00 00 00 "));
        QCOMPARE(log[2], QStringLiteral("01 5A 00 00 00 00 00 00 00 00 "));
        QVERIFY(log[3].startsWith("R 00  F"));

        rig.bus.clearSent(rig.cable);
        rig.w->USBCon->click();
        QVERIFY(!rig.w->USBCon->isChecked());
        QVERIFY(rig.w->RecallData->isEnabled());
        QCOMPARE(rig.sent(), QStringList({"F2400"}));
        QCOMPARE(rig.commands(), QList<int>({1091}));
        QVERIFY(!rig.w->SelectedHidDevice->HasReader());
        rig.w->ConTimerTimer();
        QCOMPARE(rig.w->USBCon->text(), QStringLiteral("USB Connect"));
    }

    void ctrlAConnectsToo()
    {
        Rig rig;
        // The menu entry (Ctrl+A) presses the button: up, it connects; down, it disconnects.
        rig.w->START->trigger();
        QVERIFY(rig.w->USBCon->isChecked());
        QCOMPARE(rig.commands(), QList<int>({2090, 1090}));
        rig.w->START->trigger();
        QVERIFY(!rig.w->USBCon->isChecked());
        QCOMPARE(rig.commands().mid(2), QList<int>({1091}));
    }

    void download_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes empties the table") << true;
        QTest::newRow("no keeps the table") << false;
    }
    void download()
    {
        QFETCH(bool, yes);
        Rig rig;
        rig.meter->setMemory({{"1", "A201"}, {"1", "A202"}, {"1", "A202"}, {"3", "A450"}});
        rig.w->cds1->appendRow({41, "t", "old", "#"});
        rig.w->S.NextRecordNo = 42;
        rig.w->RepeatSet->setChecked(false);
        rig.w->RecordSI->setChecked(true);
        rig.w->RecallData->setChecked(true);
        rig.prompts.messageAnswers.enqueue(yes ? mrYes : mrNo);
        rig.w->USBCon->click();
        QCOMPARE(rig.prompts.messages.size(), 1);
        QCOMPARE(rig.prompts.messages[0].text,
                 QStringLiteral("Are you sure that you want to delete this record?"));
        QCOMPARE(rig.prompts.messages[0].kind, DialogKind::Confirmation);
        QCOMPARE(rig.prompts.messages[0].buttons,
                 DialogButtons({DialogButton::Yes, DialogButton::No}));
        QCOMPARE(rig.commands(), QList<int>({2090, 1007}));
        // Three rows (one repeat filtered), then the stop at the marker.
        QTRY_COMPARE_WITH_TIMEOUT(rig.commands().size(), 3, 10000);
        QCOMPARE(rig.commands().last(), 1091);
        const int base = yes ? 0 : 1;
        QCOMPARE(rig.w->cds1->count(), base + 3);
        const int first = yes ? 1 : 42;
        QCOMPARE(rig.w->cds1->row(base).No.value(), first);
        QCOMPARE(rig.w->cds1->row(base + 1).No.value(), first + 1);
        QCOMPARE(rig.w->cds1->row(base + 2).No.value(), first + 3); // a gap for the repeat
        QCOMPARE(rig.w->cds1->text(base + 2, MeasurementTable::FieldUnit), QStringLiteral("?"));
        QVERIFY(!rig.w->RecordSI->isChecked());
        // Live frames are ignored in download mode, and the connection stays.
        rig.w->SendDataClick();
        rig.w->SendUSBData(90);
        QTest::qWait(200);
        QCOMPARE(rig.w->cds1->count(), base + 3);
        QVERIFY(rig.w->USBCon->isChecked());
        QVERIFY(!rig.w->RecallData->isEnabled());
        rig.w->USBCon->click();
        QVERIFY(rig.w->RecallData->isEnabled());
        QVERIFY(!rig.w->RecordSI->isChecked());
    }

    void watchdogReleasesOnce()
    {
        ThermometerSettings s = Rig::fast();
        s.IdleIntervalUs = 50;
        Rig rig(s);
        rig.meter->setMemory({});
        // A meter that is switched off: the cable sends idle reports only.
        rig.bus.update(rig.cable, [](VirtualInterface &) {});
        rig.w->USBCon->click();
        rig.w->SendUSBData(91); // the instrument stops sending frames
        QVERIFY(waitUntil([&] { return !rig.w->USBCon->isChecked(); }, 30000));
        QTest::qWait(100);
        QCOMPARE(rig.prompts.messageTexts(),
                 QStringList({"USB interface cable is securely connected, please check if the "
                              "meter is ready."}));
        QCOMPARE(rig.prompts.messages[0].kind, DialogKind::Warning);
        QVERIFY(!rig.w->SelectedHidDevice->HasReader());
        QVERIFY(!rig.w->RecallData->isEnabled()); // only a disconnect click enables it
    }

    void unplugAndReplug()
    {
        Rig rig;
        rig.w->USBCon->click();
        QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() >= 1, 10000);
        rig.bus.clearSent(rig.cable);
        rig.bus.unplug(rig.cable);
        QVERIFY(!rig.w->USBCon->isChecked());
        QCOMPARE(rig.w->DevListBox->count(), 1);
        QCOMPARE(rig.w->DevListBox->currentRow(), -1);
        bool removal = false;
        for (int i = 0; i < rig.w->HistoryListBox->count(); ++i)
            removal =
                removal || rig.w->HistoryListBox->item(i)->text() == "Removal of USB to Serial";
        QVERIFY(removal);
        QVERIFY(rig.bus.outputs(rig.cable).isEmpty()); // nothing was sent
        // Connecting now finds no cable.
        rig.w->USBCon->click();
        QCOMPARE(rig.prompts.messageTexts(),
                 QStringList(
                     {"USB interface cable is not securely connected, please check and re-try."}));
        QVERIFY(!rig.w->USBCon->isChecked());
        // The cable returns: selected again, and connecting works.
        auto meter = std::make_shared<SimulatedThermometer>(Rig::fast());
        const int again = rig.bus.plug(SimulatedThermometer::cableInterface(), meter);
        QCOMPARE(rig.w->HistoryListBox->item(rig.w->HistoryListBox->count() - 1)->text(),
                 QStringLiteral("Arrival of USB to Serial"));
        QCOMPARE(rig.w->DevListBox->currentRow(), 1);
        const qint64 rows = rig.w->cds1->count();
        rig.w->USBCon->click();
        QCOMPARE(rig.bus.outputs(again).size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() > rows, 10000);
        rig.w->USBCon->click();
    }

    // Another HID device coming while connected rebuilds the list; the cable, still there,
    // goes on being read by its new device object, with the same numbering, and nothing is
    // sent to it. Once it is gone from the list the button comes up.
    void rebuildWhileConnectedKeepsLogging()
    {
        Rig rig;
        rig.w->USBCon->click();
        QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() >= 1, 10000);
        rig.bus.clearSent(rig.cable);
        const QList<quint8> commandsBefore = rig.meter->commands();
        VirtualInterface mouse;
        mouse.InstanceId = "mouse";
        mouse.Product = "Mouse";
        // Half a frame from the old device object: the new one starts a frame afresh.
        const QByteArray half = TestFrames::reportsFor(TestFrames::live("1", "A235")).first();
        rig.w->HidDataReceived(rig.w->SelectedHidDevice, 0,
                               reinterpret_cast<const quint8 *>(half.constData()),
                               quint16(half.size()));
        QVERIFY(!rig.w->S.HidAccum.isEmpty());
        const int mouseId = rig.bus.plug(mouse);
        QVERIFY(rig.w->S.HidAccum.isEmpty() && !rig.w->S.FramePending);
        QVERIFY(rig.w->USBCon->isChecked());
        QVERIFY(rig.w->SelectedHidDevice);
        QCOMPARE(rig.w->DevListBox->currentItem()->text(), QStringLiteral("USB to Serial"));
        QVERIFY(rig.w->SelectedHidDevice->HasReader());
        const qint64 rows = rig.w->cds1->count();
        QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() > rows + 1, 10000);
        for (qint64 r = 1; r < rig.w->cds1->count(); ++r)
            QCOMPARE(rig.w->cds1->row(r).No.value(), rig.w->cds1->row(r - 1).No.value() + 1);
        QVERIFY(rig.bus.outputs(rig.cable).isEmpty());
        QVERIFY(rig.bus.features(rig.cable).isEmpty());
        QCOMPARE(rig.meter->commands(), commandsBefore);
        // Another device pulled out (the keyboard, the mouse): logging goes on.
        for (const int other : {rig.cable - 1, mouseId}) { // the keyboard came just before
            rig.bus.unplug(other);
            QVERIFY(rig.w->USBCon->isChecked());
            const qint64 before = rig.w->cds1->count();
            QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() > before + 1, 10000);
        }
        // The cable's node is taken away quietly and the list rebuilt: nothing to read any more.
        rig.bus.update(rig.cable, [](VirtualInterface &v) { v.InstanceId = "another"; });
        rig.w->HidCtl->DeviceChange();
        rig.w->HidCtlDeviceChange(rig.w->HidCtl);
        QVERIFY(!rig.w->USBCon->isChecked());
    }

    // A cable listed but not openable for reading and writing (no udev rule): connecting says
    // why and leaves the button up.
    void connectWithoutAccessSaysWhy()
    {
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        VirtualInterface v = SimulatedThermometer::cableInterface();
        v.QueryOnly = true;
        const int id = bus.plug(v, std::make_shared<SimulatedThermometer>());
        TFCOMM w(&bus);
        QCOMPARE(w.DevListBox->currentRow(), 0); // listed and selected
        w.USBCon->click();
        QVERIFY(!w.USBCon->isChecked());
        QCOMPARE(prompts.messageTexts(),
                 QStringList({"Cannot open /sim/hidraw-usb-serial: Permission denied. Install "
                              "the udev rule (scripts/install) and replug the cable."}));
        QCOMPARE(prompts.messages[0].kind, DialogKind::Warning);
        QVERIFY(bus.outputs(id).isEmpty());
        w.ConTimerTimer();
        QCOMPARE(w.USBCon->text(), QStringLiteral("USB Connect"));
    }

    // Reports go out exactly as long as the device's reports: a cable with a 6-byte feature
    // report and a 4-byte output report gets those, and works.
    void reportsFitTheDescriptorsLengths()
    {
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        VirtualInterface v = SimulatedThermometer::cableInterface();
        v.Caps = {11, 4, 6};
        auto meter = std::make_shared<SimulatedThermometer>(Rig::fast());
        const int id = bus.plug(v, meter);
        TFCOMM w(&bus);
        w.RecordSI->setChecked(false);
        w.USBCon->click();
        QCOMPARE(bus.features(id), QList<QByteArray>({QByteArray("\x00\x60\x09\x00\x00\x03", 6)}));
        QCOMPARE(bus.outputs(id), QList<QByteArray>({QByteArray("\x00\x02\x5a\x00", 4),
                                                     QByteArray("\x00\x01\x5a\x00", 4)}));
        QCOMPARE(meter->baudRate(), 2400);
        QTRY_VERIFY_WITH_TIMEOUT(w.cds1->count() >= 2, 10000);
        // The log still shows the program's own buffers.
        QCOMPARE(w.HistoryListBox->item(0)->text(), QStringLiteral("60 09 00 00 03 00 00 00 00 "));
        w.USBCon->click();
    }

    void cableWithSerialIsNotSelected()
    {
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        VirtualInterface v = SimulatedThermometer::cableInterface();
        v.Serial = "0001";
        bus.plug(v, std::make_shared<SimulatedThermometer>());
        TFCOMM w(&bus);
        QCOMPARE(w.DevListBox->item(0)->text(), QStringLiteral("USB to Serial (Serial=0001)"));
        QCOMPARE(w.DevListBox->currentRow(), -1);
        w.USBCon->click();
        QCOMPARE(prompts.messageTexts(),
                 QStringList(
                     {"USB interface cable is not securely connected, please check and re-try."}));
        QCOMPARE(prompts.messages[0].kind, DialogKind::Warning);
        QVERIFY(!w.USBCon->isChecked());
    }

    void descriptionsAndMessagesWithoutDevice()
    {
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        VirtualInterface nameless;
        nameless.InstanceId = "x";
        nameless.Attributes = {0x04d8, 0x00df, 1};
        bus.plug(nameless);
        TFCOMM w(&bus);
        QCOMPARE(w.DevListBox->item(0)->text(), QStringLiteral("Device VID=04D8 PID=00DF"));
        w.DevListBox->setCurrentRow(-1);
        w.SendUSBData(90);
        w.SetFeatureClick();
        w.SendDataClick();
        QCOMPARE(prompts.messageTexts(),
                 QStringList(
                     {"USB端未连接产品，请检查!",
                      "USB interface cable is not securely connected, please check and re-try.",
                      "USB interface cable is not securely connected, please check and re-try."}));
        QCOMPARE(prompts.messages[0].kind, DialogKind::Information);
        QCOMPARE(prompts.messages[0].buttons, DialogButtons({DialogButton::OK}));
    }

    void readErrorsAreLogged()
    {
        Rig rig;
        rig.w->USBCon->click();
        rig.bus.update(rig.cable, [](VirtualInterface &v) { v.ReadStartError = 5; });
        QTRY_VERIFY_WITH_TIMEOUT(
            rig.w->HistoryListBox->currentItem()->text().startsWith("READ ERROR: "), 5000);
        QVERIFY(rig.w->HistoryListBox->currentItem()->text().endsWith("(5)"));
        rig.bus.update(rig.cable, [](VirtualInterface &v) { v.ReadStartError = 0; });
        rig.w->USBCon->click();
    }

    void logIsBounded()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        const QByteArray report("\x01\x31", 2);
        for (int i = 0; i < TFCOMM::HistoryLimit + 25; ++i)
            w.HidDataReceived(nullptr, 0, reinterpret_cast<const quint8 *>(report.constData()), 2);
        QCOMPARE(w.HistoryListBox->count(), TFCOMM::HistoryLimit);
        QCOMPARE(w.HistoryListBox->currentRow(), TFCOMM::HistoryLimit - 1);
    }

    void closingWhileConnected()
    {
        Rig rig;
        rig.w->USBCon->click();
        QTRY_VERIFY_WITH_TIMEOUT(rig.w->cds1->count() >= 1, 10000);
        rig.w.reset(); // stops the reader and releases every device
        QCOMPARE(rig.bus.openHandles(rig.cable), 0);
    }
    // Several cables: Tools -> Cable lists the thermometer cables by ID; a cable with a serial
    // number is not taken by itself (the window's own rule is the last "USB to Serial"), a
    // chosen one is, and only it: °C on A, °F on B, and the window records B's. The corner
    // says which cable is recorded. A cable another logger holds (its node locked, here a
    // file standing for /dev/hidrawN) is refused with the message for a cable that cannot be
    // used and the holder's PID; the cable is pulled while that message is open.
    void cableMenuAndCablesInUse()
    {
        QTemporaryDir dir;
        qputenv("TX9_LOCK_DIR", QFile::encodeName(dir.path()));
        const QString nodeB = dir.filePath("hidraw-b");
        QFile(nodeB).open(QIODevice::WriteOnly);
        auto cable = [](const QString &node, const QString &serial, const QString &port) {
            VirtualInterface v = SimulatedThermometer::cableInterface();
            v.InstanceId = node;
            v.Path = node;
            v.Serial = serial;
            v.Properties.insert("serial", serial);
            v.Properties.insert("usb_port", port);
            return v;
        };
        ThermometerSettings inF = Rig::fast();
        inF.Fahrenheit = true;
        ModalPrompts prompts;
        SimulatedHidBus bus;
        bus.plug(cable("/sim/a", "A1", "1-1.2"),
                 std::make_shared<SimulatedThermometer>(Rig::fast()));
        int b = bus.plug(cable(nodeB, "B2", "1-1.3"), std::make_shared<SimulatedThermometer>(inF));
        TFCOMM w(&bus);
        w.RecordSI->setChecked(false);
        QCOMPARE(w.chosenCableRow(), -1); // "USB to Serial (Serial=...)" is not taken by itself
        w.fillCableMenu();
        QStringList entries;
        for (QAction *a : w.CableMenu->actions())
            if (!a->isSeparator())
                entries << a->text() + (a->isChecked() ? " *" : "");
        QCOMPARE(entries, QStringList({"The last \"USB to Serial\" cable *", "A1   /sim/a",
                                       "B2   " + nodeB}));
        w.CableMenu->actions().last()->trigger();
        QCOMPARE(w.DevListBox->currentRow(), 1);

        // B in use by another logger: refused, while the message is open B is pulled and
        // plugged back (the list rebuilt under it), and nothing is connected.
        auto other = std::make_unique<CableLock>();
        QCOMPARE(other->lockNode(nodeB), CableLock::Result::Held);
        prompts.messageAnswers.enqueue(int(DialogButton::OK));
        prompts.duringModal.enqueue([&] {
            bus.unplug(b);
            b = bus.plug(cable(nodeB, "B2", "1-1.3"), std::make_shared<SimulatedThermometer>(inF));
        });
        w.USBCon->click();
        QCOMPARE(prompts.messages.size(), 1);
        QVERIFY2(prompts.messages[0].text.startsWith(
                     "USB interface cable is not securely connected, please check and re-try.") &&
                     prompts.messages[0].text.contains(
                         QStringLiteral("in use by another logger (PID %1)")
                             .arg(QCoreApplication::applicationPid())),
                 qPrintable(prompts.messages[0].text));
        QVERIFY(!w.USBCon->isChecked());
        QVERIFY(w.CableLabel->isHidden());
        QTest::qWait(100);
        QCOMPARE(w.cds1->count(), 0);

        // Free again: B is connected (wherever the list has it now), and only B is recorded.
        other.reset();
        QCOMPARE(w.DevListBox->currentRow(), 1);
        w.USBCon->click();
        QVERIFY(waitUntil([&] { return w.cds1->count() >= 5; }, 20000));
        QCOMPARE(w.CableLabel->text(), QStringLiteral("Cable B2"));
        QVERIFY(!w.CableLabel->isHidden());
        QCOMPARE(CableLock::holderOf(nodeB), qint64(QCoreApplication::applicationPid()));
        for (qint64 r = 0; r < w.cds1->count(); ++r)
            QCOMPARE(w.cds1->text(r, MeasurementTable::FieldUnit), QStringLiteral("?"));
        w.fillCableMenu();
        for (QAction *a : w.CableMenu->actions())
            QVERIFY(!a->isEnabled() || a->isSeparator()); // no other cable while recording
        // Disconnected, the window gives the cable up.
        w.USBCon->click();
        QVERIFY(w.CableLabel->isHidden());
        QCOMPARE(CableLock::holderOf(nodeB), qint64(0));
    }
};

QTEST_MAIN(tst_UsbConnection)
#include "tst_UsbConnection.moc"
