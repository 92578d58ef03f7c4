#include "app/RD7F.h"
#include "common/ModalPrompts.h"
#include "recording/MeasurementTable.h"
#include "sim/SimulatedThermometer.h"
#include "usb/HidControllerClass.h"

#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

// The main window on the simulated bus, with reports flowing, while devices are plugged and
// unplugged, the user connects, disconnects, downloads, empties the table and answers modal
// questions, and rescans come at random moments, inside modal windows too. The seed is printed
// and can be given back through TX9_STRESS_SEED; TX9_STRESS_ROUNDS sets the length.
class tst_Stress : public QObject
{
    Q_OBJECT

    QRandomGenerator rng;
    quint32 seed = 0;
    ModalPrompts *prompts = nullptr;
    SimulatedHidBus *bus = nullptr;
    TFCOMM *w = nullptr;
    QList<int> present; // interfaces plugged in now
    QList<int> everPlugged;
    int cable = 0;
    int nextDevice = 0;
    QTemporaryDir dir;

    std::shared_ptr<SimulatedThermometer> newMeter()
    {
        ThermometerSettings s;
        s.IdleIntervalUs = 500;
        s.LiveIntervalUs = 3000;
        s.ByteGapUs = 50;
        s.Seed = rng.generate();
        auto meter = std::make_shared<SimulatedThermometer>(s);
        meter->setMemory({{"1", "A201"}, {"1", "A202"}, {"3", "A450"}});
        return meter;
    }
    void plugCable()
    {
        cable = bus->plug(SimulatedThermometer::cableInterface(), newMeter());
        present << cable;
        everPlugged << cable;
    }

    // One random step; inside a modal window only the steps that a real modal loop allows
    // through (timers, device changes, reports, and our own code) are taken.
    void step(bool insideModal)
    {
        switch (rng.bounded(insideModal ? 5 : 11)) {
        case 0: {
            VirtualInterface v;
            v.InstanceId = QStringLiteral("dev-%1").arg(++nextDevice);
            v.Product = QStringLiteral("Device %1").arg(nextDevice);
            const int id = bus->plug(v);
            present << id;
            everPlugged << id;
            break;
        }
        case 1:
            if (!present.isEmpty()) {
                const int id = present.takeAt(int(rng.bounded(int(present.size()))));
                bus->unplug(id);
                if (id == cable)
                    cable = 0;
            }
            break;
        case 2:
            if (!cable)
                plugCable();
            break;
        case 3:
            w->HidCtl->DeviceChange();
            break;
        case 4:
            // The watchdog's path: stop reading the selected device.
            w->S.IdleReportCount = 3000;
            w->S.ConTickCount = 2;
            w->ConTimerTimer();
            break;
        case 5:
        case 6:
            w->USBCon->click();
            break;
        case 7:
            if (w->RecallData->isEnabled())
                w->RecallData->setChecked(!w->RecallData->isChecked());
            break;
        case 8:
            w->RecordNewClick();
            break;
        case 9:
            // Now and then the limit is near, so its question comes from the frame handler.
            if (rng.bounded(4) == 0)
                w->S.RecordLimit = w->S.StoredRowCount + 1 + int(rng.bounded(5));
            else
                w->S.RecordLimit = 10000;
            break;
        default:
            QTest::qWait(int(rng.bounded(4)));
            break;
        }
    }

    void queueAnswers()
    {
        prompts->questionAnswers.clear();
        prompts->messageAnswers.clear();
        prompts->fileAnswers.clear();
        prompts->duringModal.clear();
        for (int i = 0; i < 4; ++i) {
            prompts->questionAnswers.enqueue(rng.bounded(2) ? QMessageBox::Ok
                                                            : QMessageBox::Cancel);
            prompts->messageAnswers.enqueue(rng.bounded(2) ? mrYes : mrNo);
            prompts->fileAnswers.enqueue(rng.bounded(3) ? QString()
                                                        : dir.filePath(QStringLiteral("s.txt")));
            prompts->duringModal.enqueue([this] {
                if (prompts->depth < 3)
                    step(true);
            });
        }
        prompts->modalMs = 1 + int(rng.bounded(8));
    }

    QString checkInvariants() const
    {
        if (w->DevListBox->count() != w->DevListObjects.size())
            return QStringLiteral("device list and its objects differ");
        for (THidDevice *d : w->DevListObjects)
            if (!d || d->Released())
                return QStringLiteral("the device list holds a released device");
        if (w->SelectedHidDevice && !w->DevListObjects.contains(w->SelectedHidDevice))
            return QStringLiteral("the selected device is not in the list");
        for (qint64 i = 1; i < w->cds1->count(); ++i)
            if (w->cds1->row(i).No.value_or(0) <= w->cds1->row(i - 1).No.value_or(0))
                return QStringLiteral("row numbers go backwards at row %1").arg(i);
        return {};
    }

private slots:
    void randomRounds()
    {
        seed = qEnvironmentVariableIsSet("TX9_STRESS_SEED")
                   ? quint32(qEnvironmentVariableIntValue("TX9_STRESS_SEED"))
                   : QRandomGenerator::global()->generate();
        const int rounds = qEnvironmentVariableIsSet("TX9_STRESS_ROUNDS")
                               ? qEnvironmentVariableIntValue("TX9_STRESS_ROUNDS")
                               : 3000;
        qInfo("seed %u (TX9_STRESS_SEED=%u repeats this run), %d rounds", seed, seed, rounds);
        rng.seed(seed);

        ModalPrompts p;
        SimulatedHidBus b;
        prompts = &p;
        bus = &b;
        plugCable();
        auto window = std::make_unique<TFCOMM>(&b);
        w = window.get();
        w->RecordSI->setChecked(false);
        qint64 rowsSeen = 0;
        for (int round = 0; round < rounds; ++round) {
            queueAnswers();
            step(false);
            const QString broken = checkInvariants();
            QVERIFY2(broken.isEmpty(),
                     qPrintable(
                         QStringLiteral("seed %1, round %2: %3").arg(seed).arg(round).arg(broken)));
            rowsSeen = std::max(rowsSeen, w->cds1->count());
        }
        // Readings did flow, and the window closes with every device closed.
        QVERIFY2(rowsSeen > 0, qPrintable(QStringLiteral("seed %1: no row recorded").arg(seed)));
        window.reset();
        for (int id : std::as_const(everPlugged))
            QVERIFY2(b.openHandles(id) == 0, qPrintable(QStringLiteral("seed %1").arg(seed)));
        qInfo("rows at most %lld, deepest modal nesting %d", rowsSeen, p.deepest);
    }
};

QTEST_MAIN(tst_Stress)
#include "tst_Stress.moc"
