#include "app/RD7F.h"
#include "common/ModalPrompts.h"
#include "common/Wait.h"
#include "recording/MeasurementTable.h"
#include "sim/SimulatedThermometer.h"
#include "usb/HidControllerClass.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

// Modal windows opened from inside the frame handler, with the world going on while they are
// open: devices come and go, the cable is pulled, the user disconnects. Run under ASan/UBSan
// and TSan too (scripts/test --sanitize, --tsan).
class tst_ModalReentry : public QObject
{
    Q_OBJECT

    struct Rig
    {
        ModalPrompts prompts;
        SimulatedHidBus bus;
        std::shared_ptr<SimulatedThermometer> meter;
        int keyboard = 0;
        int cable = 0;
        std::unique_ptr<TFCOMM> w;
        QTemporaryDir dir;

        Rig()
        {
            VirtualInterface kb;
            kb.InstanceId = "keyboard";
            kb.Product = "Keyboard";
            kb.Attributes = {0x046d, 0xc31c, 1};
            keyboard = bus.plug(kb);
            ThermometerSettings s;
            // Fast, but with the real cable's slack: 64 unread reports are 320 ms of them, so a
            // reader thread a loaded machine leaves waiting a while loses nothing.
            s.IdleIntervalUs = 5000;
            s.LiveIntervalUs = 25000;
            s.ByteGapUs = 100;
            s.OddDisplayEvery = 0;
            meter = std::make_shared<SimulatedThermometer>(s);
            cable = bus.plug(SimulatedThermometer::cableInterface(), meter);
            w = std::make_unique<TFCOMM>(&bus);
            w->RecordSI->setChecked(false);
        }
        QStringList log() const
        {
            QStringList l;
            for (int i = 0; i < w->HistoryListBox->count(); ++i)
                l << w->HistoryListBox->item(i)->text();
            return l;
        }
        QStringList devices() const
        {
            QStringList l;
            for (int i = 0; i < w->DevListBox->count(); ++i)
                l << w->DevListBox->item(i)->text();
            return l;
        }
    };

private slots:
    // The record-limit question and the save dialog behind it are opened by the frame handler.
    // A device change while either is open waits until the handler has returned; nothing the
    // handler still uses is freed under it.
    void deviceChangesWhileTheLimitQuestionIsOpen_data()
    {
        QTest::addColumn<bool>("inSaveDialog");
        QTest::addColumn<QString>("change");
        for (bool save : {false, true}) {
            const char *where = save ? "save dialog" : "question";
            for (const char *change : {"plug", "unplug", "pull cable"})
                QTest::addRow("%s during the %s", change, where) << save << QString(change);
        }
    }
    void deviceChangesWhileTheLimitQuestionIsOpen()
    {
        QFETCH(bool, inSaveDialog);
        QFETCH(QString, change);
        Rig rig;
        rig.w->S.RecordLimit = 3;
        const QString file = rig.dir.filePath("limit.txt");
        rig.prompts.questionAnswers.enqueue(QMessageBox::Ok);
        rig.prompts.fileAnswers.enqueue(file);
        QStringList listDuringModal;
        auto act = [&rig, &listDuringModal, change] {
            if (change == "plug") {
                VirtualInterface mouse;
                mouse.InstanceId = "mouse";
                mouse.Product = "Mouse";
                rig.bus.plug(mouse);
            } else if (change == "unplug") {
                rig.bus.unplug(rig.keyboard);
            } else {
                rig.bus.unplug(rig.cable);
            }
            listDuringModal = rig.devices();
        };
        rig.prompts.duringModal.enqueue(inSaveDialog ? std::function<void()>() : act);
        rig.prompts.duringModal.enqueue(inSaveDialog ? act : std::function<void()>());

        rig.w->USBCon->click();
        QVERIFY(waitUntil([&] { return rig.prompts.messages.size() == 1; }, 10000));
        QVERIFY(waitUntil([&] { return rig.devices() != listDuringModal; }, 5000));
        // While the handler's window was open the list stood still.
        QCOMPARE(listDuringModal, QStringList({"Keyboard", "USB to Serial"}));
        QCOMPARE(rig.prompts.questions.size(), 1);
        QCOMPARE(rig.prompts.messageTexts(),
                 QStringList({"Save table to specified file: " + file + " Scuss!"}));
        QCOMPARE(rig.w->cds1->count(), 3);
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll().count("\r\n"), 3 + 3);
        if (change == "plug") {
            QCOMPARE(rig.devices(), QStringList({"Keyboard", "USB to Serial", "Mouse"}));
            QVERIFY(rig.log().contains("Arrival of Mouse"));
        } else if (change == "unplug") {
            QCOMPARE(rig.devices(), QStringList({"USB to Serial"}));
            QVERIFY(rig.log().contains("Removal of Keyboard"));
            QVERIFY(rig.w->USBCon->isChecked()); // only the cable's removal releases it
        } else {
            QCOMPARE(rig.devices(), QStringList({"Keyboard"}));
            QVERIFY(rig.log().contains("Removal of USB to Serial"));
            QVERIFY(!rig.w->USBCon->isChecked());
        }
        rig.w.reset();
        QCOMPARE(rig.bus.openHandles(rig.cable), 0);
    }

    // Inside the handler's window: the user disconnects (a stop of the reader whose report is
    // being handled), or the device list is rebuilt outright (every device released, the one
    // handling the report included). No handler call follows, and nothing freed is touched.
    void stopAndReleaseFromInsideTheHandler_data()
    {
        QTest::addColumn<bool>("release");
        QTest::newRow("disconnect") << false;
        QTest::newRow("release every device") << true;
    }
    void stopAndReleaseFromInsideTheHandler()
    {
        QFETCH(bool, release);
        Rig rig;
        rig.w->S.RecordLimit = 2;
        rig.prompts.questionAnswers.enqueue(QMessageBox::Cancel);
        rig.prompts.duringModal.enqueue([&] {
            if (release)
                rig.w->HidCtlDeviceChange(rig.w->HidCtl);
            else
                rig.w->USBCon->click();
            // A second stop at any depth changes nothing.
            for (THidDevice *d : rig.w->DevListObjects)
                d->SetDataHandler(THidDataEvent());
        });
        rig.w->USBCon->click();
        QVERIFY(waitUntil([&] { return rig.prompts.questions.size() == 1 && !rig.prompts.depth; },
                          10000));
        const int frames = rig.w->HistoryListBox->count();
        QTest::qWait(100);
        QCOMPARE(rig.w->cds1->count(), 2);
        QCOMPARE(rig.w->HistoryListBox->count(), frames); // no report handled after the stop
        for (THidDevice *d : rig.w->DevListObjects)
            QVERIFY(!d->HasReader());
        if (!release)
            QCOMPARE(rig.meter->commands().last(), quint8(91));
    }

    // The watchdog's message is opened by the timer tick that also writes the caption: while
    // it is open, the released button already reads "USB Connect".
    void captionFollowsTheButtonWhileAMessageIsOpen()
    {
        Rig rig;
        QString captionDuringMessage;
        rig.prompts.duringModal.enqueue([&] { captionDuringMessage = rig.w->USBCon->text(); });
        rig.w->USBCon->click();
        QCOMPARE(rig.w->USBCon->text(), QStringLiteral("USB Disconnect"));
        rig.w->S.IdleReportCount = 3000;
        rig.w->S.ConTickCount = 2;
        rig.w->ConTimerTimer();
        QCOMPARE(rig.prompts.messages.size(), 1);
        QCOMPARE(captionDuringMessage, QStringLiteral("USB Connect"));
    }

    // The GUI thread busy for a second (a long save, say): the reader goes on reading into its
    // own queue, so the kernel-like limit of 64 unread reports is never reached and every frame
    // the meter sent becomes a row, in order.
    void busyWindowLosesNothing()
    {
        Rig rig;
        rig.w->USBCon->click();
        QVERIFY(waitUntil([&] { return rig.w->cds1->count() >= 3; }, 10000));
        QThread::msleep(1000); // about 200 reports fall due meanwhile
        QVERIFY(waitUntil([&] { return rig.w->cds1->count() >= 60; }, 20000));
        rig.w->USBCon->click(); // the meter stops; what it sent is all read
        QVERIFY(
            waitUntil([&] { return rig.w->cds1->count() == rig.meter->liveFramesSent(); }, 10000));
        QCOMPARE(rig.bus.droppedReports(rig.cable), 0);
        for (qint64 r = 1; r < rig.w->cds1->count(); ++r)
            QCOMPARE(rig.w->cds1->row(r).No.value(), rig.w->cds1->row(r - 1).No.value() + 1);
    }

    // Saving and loading a large table run off the GUI thread while readings go on: the file
    // holds exactly the rows present when the save began, the loaded rows arrive in one block,
    // and every frame the meter sent becomes a row.
    void longFileWorkKeepsRecording()
    {
        Rig rig;
        std::vector<MeasurementTable::Row> old;
        for (int i = 0; i < 300000; ++i)
            old.push_back({-i, "10:00:00", QString::number(i % 977), "#"});
        rig.w->cds1->appendRows(old);
        rig.w->USBCon->click();
        QVERIFY(waitUntil([&] { return rig.w->cds1->count() >= 300003; }, 10000));
        const QString file = rig.dir.filePath("big.txt");
        rig.prompts.fileAnswers.enqueue(file);
        const qint64 atStart = rig.w->cds1->count();
        rig.w->saveasClick();
        QCOMPARE(rig.prompts.messages.last().text,
                 "Save table to specified file: " + file + " Scuss!");
        // The file is the table as it stood when the save began (the file dialog ran a
        // while, with readings coming in): a prefix of the table, ending in a whole row.
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = saved.readAll().split('\n');
        const qint64 savedRows = lines.size() - 1 - 3;
        QVERIFY(savedRows >= atStart && savedRows <= rig.w->cds1->count());
        QCOMPARE(lines[lines.size() - 2].split('\t').value(0).toInt(),
                 rig.w->cds1->row(savedRows - 1).No.value());

        const qint64 beforeLoad = rig.w->cds1->count();
        rig.prompts.fileAnswers.enqueue(file);
        rig.w->SpeedButton2Click();
        rig.w->SendUSBData(91); // the meter stops; all it sent is then read
        const bool all = waitUntil(
            [&] {
                return rig.w->cds1->count() == 300000 + rig.meter->liveFramesSent() + savedRows;
            },
            10000);
        QVERIFY2(all, qPrintable(QStringLiteral("rows %1, frames %2, saved %3")
                                     .arg(rig.w->cds1->count())
                                     .arg(rig.meter->liveFramesSent())
                                     .arg(savedRows)));
        // The loaded block: the file's rows, in order, not interleaved with live ones.
        qint64 first = beforeLoad;
        while (first < rig.w->cds1->count() && rig.w->cds1->row(first).No.value() != 0)
            ++first;
        for (qint64 k = 0; k < savedRows; k += 997)
            QCOMPARE(rig.w->cds1->row(first + k).No, rig.w->cds1->row(k).No);
    }

    // Ctrl+A connects wherever the focus is, the page-size and interval boxes included.
    void ctrlAWinsOverTheEditBoxes()
    {
        Rig rig;
        rig.w->show();
        rig.w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.w.get()));
        int connects = 0;
        for (QLineEdit *box : {rig.w->RecordSITime, rig.w->Maxrecord}) {
            box->setFocus();
            QVERIFY(box->hasFocus());
            const QString before = box->text();
            QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
            ++connects;
            QCOMPARE(rig.w->USBCon->isChecked(), connects == 1);    // pressed, then released
            QCOMPARE(rig.bus.features(rig.cable).size(), connects); // USBConClick ran
            QCOMPARE(box->text(), before);
        }
        // The first press connected, the second disconnected.
        QCOMPARE(rig.meter->commands(), QList<quint8>({90, 90, 91}));
    }
};

QTEST_MAIN(tst_ModalReentry)
#include "tst_ModalReentry.moc"
