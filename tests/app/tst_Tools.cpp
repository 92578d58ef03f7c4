// The Tools menu through the real window: alarms set in their window, their state and log
// following the readings, the statistics window, the CSV export read back by Python's csv
// module, the alarm log saved, and the settings remembered by the next window. Dialogs are
// modal boxes that run a loop of their own while readings go on.

#include "alarms/AlarmMonitor.h"
#include "app/AuditWindow.h"
#include "app/RD7F.h"
#include "app/ToolWindows.h"
#include "common/Frames.h"
#include "common/ModalPrompts.h"
#include "outputs/AuditTrail.h"
#include "outputs/Outputs.h"
#include "proof/Signer.h"
#include "proof/SigningKey.h"
#include "proof/Verify.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

class tst_Tools : public QObject
{
    Q_OBJECT

    static void sendFrame(TFCOMM &w, const QString &digits)
    {
        for (const QByteArray &r : TestFrames::reportsFor(TestFrames::live("1", digits)))
            w.HidDataReceived(nullptr, 0, reinterpret_cast<const quint8 *>(r.constData()),
                              quint16(r.size()));
    }
    static QStringList readCsv(const QString &path)
    {
        QProcess p;
        p.start("python3", {TX9_READ_CSV, path});
        p.waitForFinished(30000);
        if (p.exitCode() != 0)
            qWarning("%s", p.readAllStandardError().constData());
        return p.exitCode() == 0
                   ? QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)
                   : QStringList{"python failed"};
    }
    static void shot(QWidget *w, const char *name)
    {
        const QString dir = qEnvironmentVariable("TX9_SCREENSHOTS");
        if (!dir.isEmpty())
            w->grab().save(dir + '/' + name + ".png");
    }

private slots:
    void alarmsStatisticsAndExport()
    {
        // What an earlier run remembered is forgotten first.
        ToolSettings::setAlarms({});
        ToolSettings::setExportFolder({});
        QTemporaryDir dir;
        ModalPrompts prompts;
        {
            TFCOMM w;
            w.show();
            w.RecordSI->setChecked(false);
            w.S.DecimalSep = ","; // a German desktop: the table holds 23,5
            QCOMPARE(w.menuBar()->actions().last()->text(), "Tools");
            w.AlarmsEntry->trigger();
            AlarmsWindow *alarms = w.m_alarmsWindow;
            QVERIFY(alarms && alarms->isVisible() && !alarms->isModal());
            QCOMPARE(alarms->stateText(), "No limits set");
            const QList<QDoubleSpinBox *> spins = alarms->findChildren<QDoubleSpinBox *>();
            alarms->findChildren<QCheckBox *>()[0]->setChecked(true); // high
            spins[0]->setValue(30);
            spins[3]->setValue(0.5); // hysteresis
            QCOMPARE(w.Alarms->settings().High, 30.0);
            QCOMPARE(alarms->stateText(), "No alarm");

            for (const char *v : {"A235", "A310", "A321"})
                sendFrame(w, v);
            QVERIFY(alarms->stateText().startsWith("HIGH ALARM since"));
            shot(alarms, "alarms-window");
            // The list of alarms takes what a taller window gives.
            auto *list = alarms->findChild<QTableWidget *>("AlarmLogTable");
            const int before = list->height();
            alarms->resize(alarms->width(), alarms->height() + 300);
            QTRY_COMPARE(list->height(), before + 300);
            shot(alarms, "alarms-window-taller");
            sendFrame(w, "A298"); // inside, but not by the hysteresis yet
            QVERIFY(w.Alarms->rules().anyActive());
            sendFrame(w, "A290");
            QCOMPARE(alarms->stateText(), "No alarm");
            QCOMPARE(w.Alarms->log().entries().size(), 2);
            QCOMPARE(w.Alarms->log().entries()[1].Worst, 32.1);
            // Kept on disk as it happened, for an audit.
            QFile log(w.RecoveryJournal->folder() + "/alarm-log.txt");
            QVERIFY(log.open(QIODevice::ReadOnly));
            const QList<QByteArray> lines = log.readAll().split('\n');
            QVERIFY(lines.size() >= 4);
            QVERIFY(lines[lines.size() - 3].startsWith("start\thigh\t"));
            QVERIFY(lines[lines.size() - 2].startsWith("end\thigh\t"));

            w.StatisticsEntry->trigger();
            StatisticsWindow *stats = w.m_statisticsWindow;
            QVERIFY(stats && stats->isVisible());
            stats->refresh();
            QCOMPARE(stats->cell(0, 0), "5");
            QCOMPARE(stats->cell(2, 0), "23.5 \u00B0C");
            QCOMPARE(stats->cell(4, 0), "32.1 \u00B0C");
            QCOMPARE(stats->cell(0, 1), "5"); // the page holds them all
            // Rows loaded from a file are in the table, not on the chart's page.
            QTemporaryDir files;
            const QString old = files.filePath("old.txt");
            QFile f(old);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("Report created on: 12/9/26\r\n\r\nNo\tTime\tValue\tUnit\r\n"
                    "1\t07:00:00\t11.0\t#\r\n2\t07:00:01\t50.0\t#\r\n");
            f.close();
            // Its rows are dated from its date: two days ago, before anything recorded here
            // whatever the time of day the test runs at.
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                  QFileDevice::FileModificationTime));
            f.close();
            w.LoadTableFromFile(old, w.cds1, false);
            QTRY_COMPARE(w.cds1->count(), 7);
            // The file's alarm (50 °C at 07:00:01), never seen live, is worked out from its
            // rows and listed as such; the audit log keeps what was seen live.
            QCOMPARE(w.Alarms->recomputed().size(), 1);
            QVERIFY(w.Alarms->recomputed()[0].OpenAtEnd);
            QCOMPARE(w.Alarms->log().entries().size(), 2);
            QCOMPARE(list->rowCount(), 3);
            // In time order among the live ones: the file's rows are dated from its date.
            const QList<AlarmEvent> all = w.Alarms->allEntries();
            const int r = int(std::find_if(all.begin(), all.end(),
                                           [](const AlarmEvent &e) { return e.Recomputed; }) -
                              all.begin());
            const int live = r == 0 ? 2 : 1; // the live end
            auto cell = [&](int row, int c) { return list->item(row, c)->text(); };
            QCOMPARE(cell(r, 0), "start (recomputed)");
            QCOMPARE(cell(r, 3), "on at the end of the readings");
            QCOMPARE(cell(r, 5), "50 °C");
            QCOMPARE(cell(live, 5), "32.1 °C");
            // The limits in °F keep their meaning: 30 °C shows as 86 °F, and the file's 50 °C
            // is 122 °F.
            auto *unit = alarms->findChild<QComboBox *>("AlarmUnit");
            unit->setCurrentText("°F");
            QCOMPARE(spins[0]->value(), 86.0);
            QCOMPARE(w.Alarms->settings().High, 86.0);
            QCOMPARE(w.Alarms->settings().Unit, "°F");
            QCOMPARE(*w.Alarms->recomputed()[0].Worst, 122.0);
            QCOMPARE(cell(r, 5), "122 °F");
            QCOMPARE(cell(r, 4), "86 °F");
            sendFrame(w, "A240");
            stats->refresh();
            QCOMPARE(stats->cell(0, 0), "8");
            QCOMPARE(stats->cell(2, 0), "11 \u00B0C");
            QCOMPARE(stats->cell(4, 0), "50 \u00B0C");
            QCOMPARE(stats->cell(0, 1), "6");
            QCOMPARE(stats->cell(2, 1), "23.5 \u00B0C");
            QCOMPARE(stats->cell(4, 1), "32.1 \u00B0C");
            shot(stats, "statistics-window");
            // Day by day: every reading on its day (the file's on the day it is dated from:
            // the file's, today),
            // and the mean kinetic temperature beside the other figures.
            QTableWidget *days = stats->dayTable();
            int counted = 0;
            for (int r = 0; r < days->rowCount(); ++r)
                counted += days->item(r, 1)->text().toInt();
            QCOMPARE(counted, 8);
            QVERIFY(stats->cell(13, 0).endsWith("\u00B0C"));
            stats->findChild<QTabWidget *>()->setCurrentIndex(1);
            shot(stats, "statistics-days");
            stats->findChild<QTabWidget *>()->setCurrentIndex(0);
            shot(&w, "main-window-tools");

            // The export: readings go on while its dialog is open, and while its message is.
            const QString csv = dir.filePath("export.csv");
            prompts.fileAnswers << csv;
            prompts.messageAnswers << 1;
            prompts.duringModal << [&] {
                for (const char *v : {"A241", "A242", "A243"})
                    sendFrame(w, v);
            } << [&] { sendFrame(w, "A244"); };
            w.ExportCsvEntry->trigger();
            QCOMPARE(w.cds1->count(), 12);
            QCOMPARE(prompts.messages.last().text,
                     QStringLiteral("11 readings exported to %1.").arg(csv));
            const QStringList rows = readCsv(csv);
            QCOMPARE(rows.size(), 11);
            for (int i = 0; i < 11; ++i) {
                const QStringList f = rows[i].split(' ');
                QCOMPARE(f[0].toInt(), w.cds1->no(i).value());
                QCOMPARE(f[2],
                         w.cds1->text(i, MeasurementTable::FieldValue).trimmed().replace(',', '.'));
                // A loaded row has no date: its time is left empty, not made up.
                if (i == 5 || i == 6)
                    QVERIFY(f[1].isEmpty());
                else
                    QCOMPARE(QDateTime::fromString(f[1], Qt::ISODateWithMs), *w.cds1->captured(i));
            }
            const QString saved = dir.filePath("alarms.txt");
            prompts.fileAnswers << saved;
            prompts.messageAnswers << 1;
            w.SaveAlarmLogEntry->trigger();
            QFile a(saved);
            QVERIFY(a.open(QIODevice::ReadOnly));
            QCOMPARE(a.readAll().count('\n'), 3); // the header, a start, an end
            // An export that cannot be written says why, and claims nothing.
            prompts.fileAnswers << dir.filePath("none/x.csv");
            prompts.messageAnswers << 1;
            w.ExportCsvEntry->trigger();
            QVERIFY(prompts.messages.last().text.startsWith("Could not export to"));
            QVERIFY(prompts.messages.last().text.contains("No such file or directory"));
            // A logger gone blind: an alarm of its own in the window, with what is wrong.
            w.Alarms->condition(AlarmKind::MeterSilent, true, "the meter sends nothing");
            QVERIFY(alarms->stateText().startsWith("METER SILENT ALARM since"));
            QCOMPARE(list->item(list->rowCount() - 1, 1)->text(), "meter silent");
            QCOMPARE(list->item(list->rowCount() - 1, 7)->text(), "the meter sends nothing");
            shot(alarms, "alarms-window-blind");
            w.Alarms->condition(AlarmKind::MeterSilent, false);
            QVERIFY(!alarms->stateText().contains("METER SILENT"));
        }
        // The alarm settings and the export folder are remembered; nothing else is.
        TFCOMM again;
        QCOMPARE(again.Alarms->settings().High, 86.0);
        QCOMPARE(again.Alarms->settings().Unit, "°F");
        QCOMPARE(again.Alarms->settings().Hysteresis, 0.9);
        QVERIFY(!again.Alarms->settings().Low);
        QCOMPARE(ToolSettings::exportFolder(), dir.filePath("none"));
    }

    // What the window saves proves itself: the save and the export are signed (ssh-keygen
    // checks them with the program's public key) and sealed with the recording's audit trail,
    // readings arriving while the dialogs are open. The settings that decide what is stored,
    // the saves and the table emptied are entries, listed in the Audit Trail window, saved
    // from it, and kept in audit-log.txt as they happen.
    void auditTrailAndSignedSaves()
    {
        ToolSettings::setExportFolder({});
        QTemporaryDir dir;
        ModalPrompts prompts;
        TFCOMM w;
        w.show();
        AuditTrail &audit = w.Out->audit();
        auto has = [&](const QString &what, const QString &after = {}) {
            for (const AuditEntry &e : audit.entries())
                if (e.What == what && e.New.contains(after))
                    return true;
            return false;
        };
        QVERIFY(has("session started"));
        QVERIFY(has("sampling interval", " s"));
        w.RecordSI->setChecked(false);
        QTRY_VERIFY(has("sampling interval", "off"));
        for (const char *v : {"A235", "A236", "A237"})
            sendFrame(w, v);
        w.RecordSI->setChecked(true);
        w.RecordSITime->setText("1");
        w.RecordSITime->setText("15");
        QTRY_VERIFY(has("sampling interval", "15 s"));
        // Typed digit by digit, turned off and on again: one entry for each change that stood.
        QCOMPARE(std::count_if(audit.entries().begin(), audit.entries().end(),
                               [](const AuditEntry &e) { return e.What == "sampling interval"; }),
                 3);

        const QString text = dir.filePath("saved.txt"), csv = dir.filePath("export.csv");
        prompts.fileAnswers << text << csv;
        prompts.messageAnswers << 1 << 1;
        prompts.duringModal << [&] { sendFrame(w, "A238"); } << [&] { sendFrame(w, "A239"); }
                            << [&] { sendFrame(w, "A240"); } << [&] { sendFrame(w, "A241"); };
        w.saveasClick();
        w.ExportCsvEntry->trigger();
        QVERIFY(has("saved", "rows, seal "));
        QVERIFY(has("exported", "rows, seal "));
        for (const QString &file : {text, csv}) {
            const Verify::Result r = Verify::file(file, {});
            QVERIFY2(r.What == Verify::Outcome::Intact, qPrintable(file + ": " + r.Sentence));
            QVERIFY(r.Rows >= 3);
            // The entry of the save gives the seal the file holds.
            bool named = false;
            for (const AuditEntry &e : audit.entries())
                named = named || (e.Old == file && e.New.endsWith(r.Seal));
            QVERIFY2(named, qPrintable(r.Seal));
        }
        QString why;
        const SigningKey *key = Signer::key(&why);
        QVERIFY2(key, qPrintable(why));
        QFile signers(dir.filePath("allowed"));
        QVERIFY(signers.open(QIODevice::WriteOnly));
        signers.write("logger@test " + key->publicLine() + '\n');
        signers.close();
        QProcess check;
        check.setStandardInputFile(text);
        check.start("ssh-keygen", {"-Y", "verify", "-f", signers.fileName(), "-I", "logger@test",
                                   "-n", "tx9-logger", "-s", text + ".sig"});
        QVERIFY(check.waitForFinished(30000));
        QCOMPARE(check.exitCode(), 0);

        // The window lists every entry as it comes, and saves the list.
        w.AuditTrailEntry->trigger();
        AuditTrailWindow *list = w.m_auditWindow;
        QVERIFY(list && list->isVisible());
        auto *table = list->findChild<QTableWidget *>("AuditList");
        QCOMPARE(table->rowCount(), int(audit.all().size()));
        const QString listed = dir.filePath("audit.txt");
        prompts.fileAnswers << listed;
        prompts.messageAnswers << 1;
        list->findChild<QPushButton *>("AuditSave")->click();
        QFile saved(listed);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll().count('\n'), qsizetype(audit.all().size()) + 2);

        // Emptied: a new recording, whose first entry says what the last one held.
        const qint64 rows = w.cds1->count();
        w.Engine.clearTable();
        QCOMPARE(audit.entries().size(), size_t(1));
        QCOMPARE(audit.entries()[0].What, "table emptied");
        QVERIFY(audit.entries()[0].Old.startsWith(QStringLiteral("%1 rows, seal ").arg(rows)));
        QCOMPARE(table->rowCount(), int(audit.all().size()));
        shot(list, "audit-trail-window");
        // Each entry was in the log the moment it was made.
        QFile log(w.RecoveryJournal->folder() + "/audit-log.txt");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray logged = log.readAll();
        for (const AuditEntry &e : audit.all())
            QVERIFY2(logged.contains(e.fields()), e.fields().constData());
    }
};

QTEST_MAIN(tst_Tools)
#include "tst_Tools.moc"
