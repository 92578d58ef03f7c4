#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/ScriptedPrompts.h"
#include "common/Wait.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"
#include "session/Journal.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

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
        return lines.mid(3);
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

private slots:
    void initTestCase()
    {
        QVERIFY(state.isValid());
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void init()
    {
        QDir(state.filePath("tx9-logger")).removeRecursively();
    }

    void restoreAfterSigkill()
    {
        const QStringList recorded = recordThenKill(3);
        QVERIFY(recorded.size() >= 3);
        ScriptedPrompts prompts;
        prompts.questionAnswers.enqueue(QMessageBox::Yes);
        TFCOMM w;
        w.offerRecovery();
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.questions[0].caption, QStringLiteral("Norvane TX-9"));
        QCOMPARE(prompts.questions[0].buttons, QMessageBox::Yes | QMessageBox::No);
        const qint64 restored = w.cds1->count();
        QCOMPARE(prompts.questions[0].text,
                 QStringLiteral("The last session ended unexpectedly with %1 readings that "
                                "were not saved. Restore them?")
                     .arg(restored));
        // Every row on disk a second before the kill is back, as it was.
        QVERIFY(restored >= recorded.size());
        for (int r = 0; r < recorded.size(); ++r) {
            const QStringList f = recorded[r].split('\t');
            QCOMPARE(w.cds1->row(r).No.value(), f[0].toInt());
            QCOMPARE(w.cds1->row(r).Time, f[1]);
        }
        QCOMPARE(w.ChartCtl->ValueCount(), restored);
        // Recording goes on from the next number, and the journal holds every row again.
        const int last = w.cds1->row(restored - 1).No.value();
        w.RecordSI->setChecked(false);
        sendFrame(w, TestFrames::live("1", "A235"));
        QCOMPARE(w.cds1->count(), restored + 1);
        QCOMPARE(w.cds1->row(restored).No.value(), last + 1);
        w.RecoveryJournal->flush();
        QCOMPARE(dataLines(read(journalPath())).size(), restored + 1);
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

QTEST_MAIN(tst_Journal)
#include "tst_Journal.moc"
