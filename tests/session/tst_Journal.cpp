#include "alarms/AlarmMonitor.h"
#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/ScriptedPrompts.h"
#include "common/Wait.h"
#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "outputs/AuditTrail.h"
#include "outputs/Outputs.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"
#include "session/Journal.h"
#include "timechart/TimeChart.h"
#include "timechart/TimeChartPlot.h"
#include "timeline/Timeline.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <qcustomplot.h>

// The recovery journal: rows on disk as they are recorded, one owner per journal, recovery
// after a real SIGKILL of the demo, torn lines, and a full disk.
class tst_Journal : public QObject
{
    Q_OBJECT

    QTemporaryDir state;

    QString journalPath(int slot = 1) const
    {
        return state.filePath(slot == 1 ? "tx9-logger/journal.txt"
                                        : QStringLiteral("tx9-logger/journal-%1.txt").arg(slot));
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static QStringList dataLines(const QByteArray &journal)
    {
        QStringList lines = QString::fromUtf8(journal).split("\r\n");
        lines.removeLast(); // after the last line break: empty, or a torn line
        // Marks between the rows (connected, disconnected, notes) are no rows.
        lines = lines.mid(3);
        lines.removeIf([](const QString &l) { return l.startsWith(QLatin1Char('#')); });
        return lines;
    }
    static void sendFrame(TFCOMM &w, const QString &frameText)
    {
        for (const QByteArray &r : TestFrames::reportsFor(frameText))
            w.HidDataReceived(nullptr, 0, reinterpret_cast<const quint8 *>(r.constData()),
                              quint16(r.size()));
    }
    void startDemo(QProcess &demo)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state.path());
        env.insert("XDG_CONFIG_HOME", state.filePath("config"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        demo.setProcessEnvironment(env);
        demo.start(TX9_DEMO, {"--connect"});
        QVERIFY(demo.waitForStarted());
    }
    // Lets the demo record, takes what its journal holds, waits a little over a second so
    // that all of it is surely on disk, and kills the demo with SIGKILL.
    QStringList recordThenKill(int rows)
    {
        QProcess demo;
        startDemo(demo);
        if (!waitUntil([&] { return dataLines(read(journalPath())).size() >= rows; }, 30000)) {
            qWarning() << "the demo recorded nothing:" << demo.readAllStandardError();
            return {};
        }
        const QStringList before = dataLines(read(journalPath()));
        QTest::qWait(1200);
        ::kill(pid_t(demo.processId()), SIGKILL);
        demo.waitForFinished();
        return before;
    }

public:
    // This test started again as a window that records three readings, puts a note on the
    // second, says so, and goes on until it is killed.
    static int noteThenWait()
    {
        ScriptedPrompts prompts;
        prompts.textAnswers.enqueue(QStringLiteral("door opened"));
        TFCOMM w;
        w.RecordSI->setChecked(false);
        for (const char *v : {"A235", "A241", "A252"}) {
            sendFrame(w, TestFrames::live("1", v));
            QTest::qWait(20);
        }
        // Saved first, when asked: only the note made afterwards is unsaved.
        if (qEnvironmentVariableIsSet("TST_JOURNAL_SAVE_TO")) {
            prompts.messageAnswers.enqueue(int(DialogButton::OK));
            w.SaveTableToFile(w.cds1, qEnvironmentVariable("TST_JOURNAL_SAVE_TO"));
        }
        w.TimeChartEntry->trigger();
        const TimeSeries &series = w.Out->timeline()->series();
        emit w.timeChart()->noteRequested(double(series.timeMs(1)) / 1000);
        std::printf("noted %d\n", int(w.Out->timeline()->notes().all().size()));
        std::fflush(stdout);
        return QCoreApplication::exec();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(state.isValid());
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void init() { QDir(state.filePath("tx9-logger")).removeRecursively(); }

    void restoreAfterSigkill()
    {
        // The killed session had limits every reading breaks.
        QVERIFY(QDir().mkpath(state.filePath("config/tx9-logger")));
        QFile config(state.filePath("config/tx9-logger/tx9-logger.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly) &&
                config.write("[alarms]\nhigh=-40\nunit=F\n") > 0);
        config.close();
        const QStringList recorded = recordThenKill(3);
        QFile::remove(config.fileName());
        QVERIFY(recorded.size() >= 3);
        ScriptedPrompts prompts;
        prompts.questionAnswers.enqueue(QMessageBox::Yes);
        TFCOMM w;
        // Limits here that no reading breaks: the restored readings' alarm, never seen live
        // here, is worked out from them by the limits they were recorded under.
        AlarmSettings limits;
        limits.High = 200;
        limits.Unit = QStringLiteral("°F");
        w.setAlarmSettings(limits, false);
        w.offerRecovery();
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.questions[0].caption, QStringLiteral("Norvane TX-9"));
        QCOMPARE(prompts.questions[0].buttons, QMessageBox::Yes | QMessageBox::No);
        const qint64 restored = w.cds1->count();
        QCOMPARE(prompts.questions[0].text,
                 QStringLiteral("The last session ended unexpectedly with %1 readings that "
                                "were not saved (from the cable /sim/hidraw-usb-serial). "
                                "Restore them?")
                     .arg(restored));
        // Every row on disk a second before the kill is back, as it was.
        QVERIFY(restored >= recorded.size());
        for (int r = 0; r < recorded.size(); ++r) {
            const QStringList f = recorded[r].split('\t');
            QCOMPARE(w.cds1->row(r).No.value(), f[0].toInt());
            QCOMPARE(w.cds1->row(r).Time, f[1]);
            // With its date: the journal keeps the full capture time.
            const std::optional<QDateTime> captured = w.cds1->captured(r);
            QVERIFY(captured);
            QCOMPARE(captured->toString("HH:mm:ss"), f[1]);
            QVERIFY(qAbs(captured->secsTo(QDateTime::currentDateTime())) < 600);
        }
        QCOMPARE(w.ChartCtl->ValueCount(), restored);
        // The journal's rows, audit entries and seals, walked in their order: each seal the
        // killed session wrote holds over what came before it; the restore brings the
        // entries back between the rows and goes on with the same seal.
        {
            Seal chain;
            int seals = 0, entries = 0;
            for (const QByteArray &line : read(journalPath()).split('\n')) {
                const QList<QByteArray> f = line.trimmed().split('\t');
                if (line.startsWith("#break\taudit\t")) {
                    const qsizetype at = line.indexOf('\t', 13);
                    chain.addEntry(*AuditEntry::fromFields(0, line.mid(at + 1).trimmed()));
                    ++entries;
                } else if (line.startsWith("#break\tseal\t")) {
                    QCOMPARE(chain.rows(), f[2].toLongLong());
                    QCOMPARE(chain.hex(), f[3]);
                    ++seals;
                } else if (f.size() >= 4 && !line.startsWith('#') && f[0] != "No" &&
                           chain.rows() < restored) {
                    chain.addRow(f[0].toInt(), QString::fromUtf8(f[1]), QString::fromUtf8(f[2]),
                                 QString::fromUtf8(f[3]));
                }
            }
            QVERIFY(seals >= 2);
            const AuditTrail &audit = w.Out->audit();
            QCOMPARE(audit.entries().back().What, "restored");
            // After the journal's own entries, this window's so far, and the restore's.
            for (size_t i = size_t(entries); i < audit.entries().size(); ++i)
                chain.addEntry(audit.entries()[i]);
            QCOMPARE(audit.seal().text(), chain.text());
            QVERIFY(std::any_of(audit.entries().begin(), audit.entries().end(),
                                [](const AuditEntry &e) { return e.What == "connected"; }));
        }
        const QList<AlarmEvent> alarms = w.Alarms->allEntries();
        QCOMPARE(alarms.size(), 1);
        QVERIFY(alarms[0].Recomputed && alarms[0].Start && alarms[0].OpenAtEnd);
        QCOMPARE(alarms[0].BreachStart, *w.cds1->captured(0));
        QCOMPARE(alarms[0].Time, *w.cds1->captured(restored - 1));
        QCOMPARE(alarms[0].Unit, QStringLiteral("°F"));
        QVERIFY(*alarms[0].Worst > 50);               // about 22 °C, compared as °F
        QVERIFY(w.Alarms->log().entries().isEmpty()); // the audit log holds what was seen live
        // The chart shades it, from its start to the last restored reading.
        w.TimeChartEntry->trigger();
        auto *line = dynamic_cast<TimelinePlottable *>(w.timeChart()->plot()->plottable(0));
        QVERIFY(line);
        w.timeChart()->replotNow();
        QCOMPARE(line->alarmSpans().size(), size_t(1));
        QCOMPARE(qint64(line->alarmSpans()[0].first * 1000),
                 w.cds1->captured(0)->toMSecsSinceEpoch());
        // Other limits set here afterwards judge what comes next, not what was recorded then.
        limits.High = 100;
        w.setAlarmSettings(limits, false);
        QCOMPARE(w.Alarms->recomputed().size(), 1);
        // Recording goes on from the next number, and the journal holds every row again.
        const int last = w.cds1->row(restored - 1).No.value();
        w.RecordSI->setChecked(false);
        sendFrame(w, TestFrames::live("1", "A235"));
        QCOMPARE(w.cds1->count(), restored + 1);
        QCOMPARE(w.cds1->row(restored).No.value(), last + 1);
        w.RecoveryJournal->flush();
        QCOMPARE(dataLines(read(journalPath())).size(), restored + 1);
    }

    // A note is kept as the readings are: killed a second after it was made, the window
    // brings it back on its reading with the restore.
    // The restore question counts what was really not saved: saved, then noted, then killed,
    // every reading is saved and only the note is not.
    void noteSurvivesSigkill_data()
    {
        QTest::addColumn<bool>("saveFirst");
        QTest::newRow("never saved") << false;
        QTest::newRow("saved before the note") << true;
    }
    void noteSurvivesSigkill()
    {
        QFETCH(bool, saveFirst);
        const QString savedTo = state.filePath("saved.txt");
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TST_JOURNAL_NOTE_CHILD", "1");
        if (saveFirst)
            env.insert("TST_JOURNAL_SAVE_TO", savedTo);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForStarted());
        QByteArray said;
        QVERIFY2(waitUntil(
                     [&] {
                         said += child.readAllStandardOutput();
                         return said.contains("noted 1");
                     },
                     30000),
                 child.readAllStandardError().constData());
        QTest::qWait(1200);
        ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished();
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        ScriptedPrompts prompts;
        prompts.questionAnswers.enqueue(QMessageBox::Yes);
        TFCOMM w;
        w.offerRecovery();
        QCOMPARE(w.cds1->count(), 3);
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.questions[0].text,
                 saveFirst ? QStringLiteral("The last session ended unexpectedly with 3 readings, "
                                            "0 of them not saved since the table was saved to "
                                            "%1, and a note that was not saved. Restore them?")
                                 .arg(savedTo)
                           : QStringLiteral("The last session ended unexpectedly with 3 readings "
                                            "that were not saved and a note that was not saved. "
                                            "Restore them?"));
        const std::vector<Notes::Note> &notes = w.Out->timeline()->notes().all();
        QCOMPARE(notes.size(), size_t(1));
        QCOMPARE(notes[0].Text, QStringLiteral("door opened"));
        QCOMPARE(notes[0].Row, qint64(1));
        QCOMPARE(notes[0].No, std::optional<qint32>(2));
    }

    void declineSetsTheJournalAside()
    {
        const QStringList recorded = recordThenKill(1);
        QVERIFY(!recorded.isEmpty());
        const QByteArray before = read(journalPath());
        ScriptedPrompts prompts;
        prompts.questionAnswers.enqueue(QMessageBox::No);
        TFCOMM w;
        w.offerRecovery();
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(w.cds1->count(), 0);
        const QStringList aside =
            QDir(state.filePath("tx9-logger")).entryList({"unsaved-*.txt"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QVERIFY(QRegularExpression("^unsaved-\\d{4}-\\d\\d-\\d\\d-\\d{6}\\.txt$")
                    .match(aside[0])
                    .hasMatch());
        QCOMPARE(read(state.filePath("tx9-logger/" + aside[0])), before);
        QCOMPARE(w.RecoveryJournal->orphanRows(), 0); // nothing more to decide
        QCOMPARE(dataLines(read(journalPath())).size(), 0);
    }

    // A second instance takes a journal of its own; it neither restores nor disturbs the
    // first one's, which a live process holds.
    void secondInstanceLeavesTheFirstAlone()
    {
        QProcess demo;
        startDemo(demo);
        QVERIFY(waitUntil([&] { return dataLines(read(journalPath())).size() >= 1; }, 30000));
        {
            ScriptedPrompts prompts;
            TFCOMM second;
            second.offerRecovery();
            QVERIFY(prompts.questions.isEmpty());
            QCOMPARE(second.RecoveryJournal->path(), journalPath(2));
            second.cds1->appendRow({1, "t", "v", "#"});
            second.RecoveryJournal->flush();
            QCOMPARE(dataLines(read(journalPath(2))).size(), 1);
        }
        const int rows = int(dataLines(read(journalPath())).size());
        QVERIFY(waitUntil([&] { return dataLines(read(journalPath())).size() > rows; }, 30000));
        demo.kill();
        demo.waitForFinished();
    }

    void tornLastLineIsDropped()
    {
        QDir().mkpath(state.filePath("tx9-logger"));
        QFile f(journalPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("Report created on: 12/8/26\r\n\r\nNo\tTime\tValue\tUnit\r\n"
                "1\t10:00:00\t23.5\t#\r\n2\t10:00:01\t23.6\t#\r\n3\t10:0");
        f.close();
        Journal j(state.filePath("tx9-logger"));
        QCOMPARE(j.orphanRows(), 2);
        MeasurementTable t;
        QVERIFY(j.readOrphan(t));
        QCOMPARE(t.count(), 2);
        QCOMPARE(t.row(1).Value, QStringLiteral("23.6"));
    }

    // The disk fills up under the journal (its file is /dev/full): one message, and the rows
    // go on into the table.
    void diskFullIsReportedOnce()
    {
        QDir().mkpath(state.filePath("tx9-logger"));
        QVERIFY(QFile::link("/dev/full", journalPath()));
        ScriptedPrompts prompts;
        TFCOMM w;
        w.RecordSI->setChecked(false);
        for (int i = 0; i < 5; ++i) {
            sendFrame(w, TestFrames::live("1", QStringLiteral("A23%1").arg(i)));
            w.RecoveryJournal->flush();
            QCoreApplication::processEvents();
        }
        QCOMPARE(w.cds1->count(), 5);
        QCOMPARE(prompts.messages.size(), 1);
        QVERIFY(prompts.messages[0].text.startsWith("Could not write the recovery journal "));
        QCOMPARE(prompts.messages[0].kind, DialogKind::Warning);
        QFile::remove(journalPath());
    }

    static QByteArray journalText(const QList<QByteArray> &lines)
    {
        QByteArray out = "Report created on: 12/8/26\r\n\r\nNo\tTime\tValue\tUnit\r\n";
        for (const QByteArray &l : lines)
            out += l + "\r\n";
        return out;
    }
    static QList<QByteArray> journalRows(int from, int to, const char *value = "23.5")
    {
        QList<QByteArray> rows;
        for (int i = from; i <= to; ++i)
            rows << QByteArray::number(i) +
                        "\t10:00:" + QByteArray::number(i % 60).rightJustified(2, '0') + "\t" +
                        value + "\t#";
        return rows;
    }
    void put(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QStringList aside() const
    {
        return QDir(state.filePath("tx9-logger")).entryList({"unsaved-*.txt"}, QDir::Files);
    }

    // Journals as a crash, a disk, another program or another locale may leave them, each
    // restored with the answer Yes: every row that was on disk comes back or stays on disk,
    // what could not be read is said and kept, and the chart gets the true values.
    void damagedJournalsLoseNoRow_data()
    {
        QTest::addColumn<QByteArray>("slot1");
        QTest::addColumn<QByteArray>("slot2");
        QTest::addColumn<int>("restored");     // rows back in the table
        QTest::addColumn<int>("questions");    // restore questions asked
        QTest::addColumn<int>("keptAside");    // files kept as unsaved-*.txt
        QTest::addColumn<QString>("message");  // part of the one message, or empty for none
        QTest::addColumn<double>("lastValue"); // on the chart
        QTest::newRow("bad line in the middle")
            << journalText(journalRows(1, 10) + QList<QByteArray>{"x\ty\tz\tw\tv"} +
                           journalRows(12, 21))
            << QByteArray() << 20 << 1 << 1 << "1 lines of the recovery journal" << 23.5;
        QByteArray noise(4096, '\0');
        QRandomGenerator rng(7);
        for (char &c : noise)
            c = char(rng.bounded(256));
        QTest::newRow("random bytes")
            << noise << QByteArray() << 0 << 0 << 1 << "not one of this program's journals" << 0.0;
        QTest::newRow("no header")
            << journalRows(1, 5).join("\r\n") + "\r\n"
            << QByteArray() << 0 << 0 << 1 << "not one of this program's journals" << 0.0;
        QTest::newRow("slot 2 only")
            << QByteArray() << journalText(journalRows(1, 4)) << 4 << 1 << 0 << QString() << 23.5;
        QTest::newRow("both slots")
            << journalText(journalRows(1, 3)) << journalText(journalRows(4, 6)) << 6 << 2 << 0
            << QString() << 23.5;
        QTest::newRow("decimal comma") << journalText(journalRows(1, 3, "23,5")) << QByteArray()
                                       << 3 << 1 << 0 << QString() << 23.5;
    }
    void damagedJournalsLoseNoRow()
    {
        QFETCH(QByteArray, slot1);
        QFETCH(QByteArray, slot2);
        QFETCH(int, restored);
        QFETCH(int, questions);
        QFETCH(int, keptAside);
        QFETCH(QString, message);
        QFETCH(double, lastValue);
        if (!slot1.isEmpty())
            put(journalPath(1), slot1);
        if (!slot2.isEmpty())
            put(journalPath(2), slot2);
        QList<QByteArray> originals;
        for (const QByteArray &b : {slot1, slot2})
            if (!b.isEmpty())
                originals << b;
        ScriptedPrompts prompts;
        for (int i = 0; i < 4; ++i)
            prompts.questionAnswers.enqueue(QMessageBox::Yes);
        {
            TFCOMM w;
            w.offerRecovery();
            QCOMPARE(prompts.questions.size(), questions);
            QCOMPARE(w.cds1->count(), restored);
            QCOMPARE(prompts.messages.size(), message.isEmpty() ? 0 : 1);
            if (!message.isEmpty())
                QVERIFY2(prompts.messages[0].text.contains(message),
                         qPrintable(prompts.messages[0].text));
            if (restored > 0) {
                QCOMPARE(w.S.NextRecordNo, w.cds1->row(restored - 1).No.value() + 1);
                QCOMPARE(w.ChartCtl->Graph()->data()->at(restored)->value, lastValue);
            }
            // The restored rows are in this session's journal, nowhere twice.
            w.RecoveryJournal->flush();
            QCOMPARE(dataLines(read(journalPath(1))).size(), restored);
            QVERIFY(!QFile::exists(journalPath(2)));
        }
        // Whatever was not restored is kept, byte for byte.
        const QStringList kept = aside();
        QCOMPARE(kept.size(), keptAside);
        for (const QString &name : kept)
            QVERIFY(originals.contains(read(state.filePath("tx9-logger/" + name))));
    }

    // Two orphans set aside in the same second keep two files; a headless run sets aside
    // every slot's orphan and says so.
    void orphansSetAsideNeverCollide()
    {
        put(journalPath(1), journalText(journalRows(1, 2)));
        put(journalPath(2), journalText(journalRows(3, 5)));
        put(journalPath(3), journalText(journalRows(6, 6)));
        Journal j(state.filePath("tx9-logger"));
        QStringList names;
        while (j.hasOrphan())
            names << j.setOrphanAside();
        QCOMPARE(names.size(), 3);
        QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), 3);
        QCOMPARE(aside().size(), 3);
        int rows = 0;
        for (const QString &n : names)
            rows += dataLines(read(n)).size();
        QCOMPARE(rows, 6);
    }

    // The disk is full when the journal starts, and has room again later: the journal gets
    // its header before the first row, and every row.
    void journalStartedOnAFullDiskGetsItsHeader()
    {
        std::atomic<bool> full{true};
        FileFaults::install([&](FileFaults::Step, const QString &path) {
            return full && path.endsWith("journal.txt") ? ENOSPC : 0;
        });
        ScriptedPrompts prompts;
        {
            TFCOMM w;
            w.RecordSI->setChecked(false);
            for (int i = 0; i < 3; ++i) {
                sendFrame(w, TestFrames::live("1", QStringLiteral("A23%1").arg(i)));
                w.RecoveryJournal->flush();
            }
            full = false;
            for (int i = 3; i < 6; ++i)
                sendFrame(w, TestFrames::live("1", QStringLiteral("A23%1").arg(i)));
            w.RecoveryJournal->flush();
            FileFaults::install({});
            QCoreApplication::processEvents();
            QCOMPARE(prompts.messages.size(), 1);
            QVERIFY(prompts.messages[0].text.contains("No space left on device"));
        }
        MeasurementTable back;
        const Journal::Contents c = Journal::read(journalPath(), back);
        QVERIFY(c.Journal);
        QCOMPARE(c.Unreadable, 0);
        QCOMPARE(c.Rows, 6);
    }

    // A state folder that cannot be written: no journal, and the window says so once.
    void noJournalIsSaidOnce()
    {
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        put(state.filePath("a-file"), "not a folder");
        qputenv("XDG_STATE_HOME", state.filePath("a-file").toLocal8Bit());
        ScriptedPrompts prompts;
        {
            TFCOMM w;
            w.offerRecovery();
            QVERIFY(!w.RecoveryJournal->owner());
            QCOMPARE(prompts.messages.size(), 1);
            QVERIFY2(prompts.messages[0].text.startsWith("There is no recovery journal: ") &&
                         prompts.messages[0].text.contains("a-file/tx9-logger"),
                     qPrintable(prompts.messages[0].text));
            w.RecordSI->setChecked(false);
            sendFrame(w, TestFrames::live("1", "A231"));
            QCOMPARE(w.cds1->count(), 1);
            QCoreApplication::processEvents();
            QCOMPARE(prompts.messages.size(), 1);
        }
        qputenv("XDG_STATE_HOME", saved);
    }

    // A normal exit keeps the journal as last-session.txt and leaves nothing to restore.
    void normalExitKeepsTheLastSession()
    {
        {
            ScriptedPrompts prompts;
            prompts.questionAnswers.enqueue(QMessageBox::Yes); // the exit question
            TFCOMM w;
            w.cds1->appendRow({1, "10:00:00", "23.5", "#"});
            w.show();
            QVERIFY(w.close());
        }
        QCOMPARE(dataLines(read(state.filePath("tx9-logger/last-session.txt"))),
                 QStringList({"1\t10:00:00\t23.5\t#"}));
        Journal next(state.filePath("tx9-logger"));
        QCOMPARE(next.orphanRows(), 0);
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    if (qEnvironmentVariableIsSet("TST_JOURNAL_NOTE_CHILD"))
        return tst_Journal::noteThenWait();
    tst_Journal tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_Journal.moc"
