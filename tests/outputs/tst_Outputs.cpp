// Each output on its own, against a session fed rows by hand (no cable, no window): what it
// writes for the rows, and how it fails. The faces' end-to-end tests run them all together.

#include "../common/LocalBroker.h"
#include "alarms/AlarmMonitor.h"
#include "mqtt/MqttPublisher.h"
#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "outputs/AuditTrail.h"
#include "outputs/DataFileOutput.h"
#include "outputs/JournalWatch.h"
#include "outputs/LatestReading.h"
#include "outputs/Metrics.h"
#include "outputs/Outputs.h"
#include "outputs/RowStream.h"
#include "proof/SigningKey.h"
#include "proof/Trail.h"
#include "proof/Verify.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "session/LoggerSession.h"
#include "timeline/Timeline.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

class tst_Outputs : public QObject
{
    Q_OBJECT

    struct Settings : LoggerSession::Settings
    {
        bool recallData() const override { return false; }
        bool recordSI() const override { return false; }
        bool repeatSet() const override { return false; }
        QString intervalText() const override { return QStringLiteral("0"); }
        bool connectWanted() const override { return false; }
        int chosenRow() const override { return -1; }
        bool clearBeforeDownload() override { return false; }
    };

    // A session whose rows come from the test: each one stored as the engine stores a row.
    struct Rig
    {
        QTemporaryDir state;
        Settings face;
        LoggerSession session{face, state.path()};
        QDateTime at = QDateTime(QDate(2026, 12, 10), QTime(7, 0), QTimeZone(3600));
        qint32 no = 0;
        void store(const QString &value, const QString &unit = QStringLiteral("#"))
        {
            MeasurementTable &t = session.table();
            t.appendRow({++no, at.toString("HH:mm:ss"), value, unit, at});
            emit session.engine().rowStored(t.count() - 1, no,
                                            MeasurementTable::numberOf(value).value_or(0), at);
            at = at.addSecs(1);
        }
    };

private slots:
    void initTestCase() { qputenv("TX9_LOCK_DIR", QFile::encodeName(QDir::tempPath())); }
    void cleanup() { FileFaults::install({}); }

    // The newest reading, replaced whole with each row; a failure said once, and again only
    // after a write has worked in between.
    void latestReading()
    {
        Rig rig;
        QTemporaryDir dir;
        const QString path = dir.filePath("now.json");
        LatestReading latest(rig.session, path);
        QSignalSpy failed(&latest, &LatestReading::failed);
        auto read = [&] {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                               : QJsonObject();
        };
        rig.store("23.5");
        QCOMPARE(read().value("value").toDouble(), 23.5);
        QCOMPARE(read().value("unit").toString(), QStringLiteral("\u00B0C"));
        rig.store("----");
        QVERIFY(read().value("value").isNull());
        QCOMPARE(read().value("no").toInt(), 2);
        FileFaults::install([](FileFaults::Step s, const QString &) {
            return s == FileFaults::Step::Sync ? ENOSPC : 0;
        });
        rig.store("24.0");
        rig.store("24.1");
        QCOMPARE(failed.size(), 1);
        QVERIFY(failed[0][1].toString().contains("No space left"));
        QCOMPARE(read().value("no").toInt(), 2); // the old copy stays whole
        FileFaults::install({});
        rig.store("24.2");
        QCOMPARE(read().value("value").toDouble(), 24.2);
        FileFaults::install([](FileFaults::Step, const QString &) { return EIO; });
        rig.store("24.3");
        QCOMPARE(failed.size(), 2);
    }

    // Each row a text line on a descriptor; a reader gone ends the stream once, with EPIPE.
    void rowStream()
    {
        Rig rig;
        int fds[2];
        QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
        ::signal(SIGPIPE, SIG_IGN);
        RowStream stream(rig.session, fds[1]);
        QSignalSpy ended(&stream, &RowStream::ended);
        rig.store("21.5");
        rig.store("  OL");
        char buf[256] = {};
        const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
        const QList<QByteArray> lines = QByteArray(buf, int(n)).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].startsWith("1\t07:00:00\t21.5\t#"));
        QVERIFY2(lines[1].startsWith("2\t07:00:01\tOL\t#"), lines[1].constData());
        ::close(fds[0]);
        rig.store("21.6");
        rig.store("21.7");
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended[0][0].toInt(), EPIPE);
        ::close(fds[1]);
    }

    // The data file: created with its header and a line a row; an existing file refused unless
    // asked to replace it or go on after its last row (numbering on from it); a second run on
    // the same file refused; a write that fails said through failed, never as written.
    void dataFile()
    {
        Rig rig;
        QTemporaryDir dir;
        const QString path = dir.filePath("run.txt");
        QString why;
        {
            DataFileOutput out(rig.session, {path, false, Existing::Refuse});
            QCOMPARE(out.open(&why), DataFileOutput::Opened::Ok);
            DataFileOutput second(rig.session, {path, false, Existing::Overwrite});
            QCOMPARE(second.open(&why), DataFileOutput::Opened::Refused);
            QVERIFY2(why.contains(path), qPrintable(why));
            rig.store("20.0");
            rig.store("20.5");
            const DataFileOutput::Closed closed = out.close();
            QCOMPARE(closed.Rows, qint64(2));
            QVERIFY(!closed.Failed);
        }
        MeasurementTable back;
        QCOMPARE(DataFiles::loadTable(path, back, false), DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), qint64(2));
        QCOMPARE(back.text(1, MeasurementTable::FieldValue), QStringLiteral("20.5"));
        {
            DataFileOutput refused(rig.session, {path, false, Existing::Refuse});
            QCOMPARE(refused.open(&why), DataFileOutput::Opened::Refused);
        }
        {
            Rig again;
            DataFileOutput out(again.session, {path, false, Existing::Append});
            QCOMPARE(out.open(&why), DataFileOutput::Opened::Ok);
            QCOMPARE(again.session.state().NextRecordNo, 3); // on after the file's last row
            again.store("21.0");
            QCOMPARE(out.close().Rows, qint64(1)); // written by this run
        }
        back.clear();
        QCOMPARE(DataFiles::loadTable(path, back, false), DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), qint64(3));
        // A full disk while rows are written: said, and the file is not claimed as complete.
        {
            Rig full;
            DataFileOutput out(full.session, {dir.filePath("full.csv"), true, Existing::Refuse});
            QSignalSpy failed(&out, &DataFileOutput::failed);
            QCOMPARE(out.open(&why), DataFileOutput::Opened::Ok);
            FileFaults::install([](FileFaults::Step s, const QString &p) {
                return s == FileFaults::Step::Write && p.endsWith("full.csv") ? ENOSPC : 0;
            });
            full.store("22.0");
            const DataFileOutput::Closed closed = out.close();
            QVERIFY(closed.Failed || !failed.isEmpty());
            const QString said =
                failed.isEmpty() ? closed.Unsaid : failed.constFirst()[0].toString();
            QVERIFY2(said.contains("No space left"), qPrintable(said));
        }
    }

    // The journal as a run sees it: kept in it while it is written; a write that fails said
    // once, and the readings then known to be kept nowhere but in the run's own outputs.
    void journalWatch()
    {
        Rig rig;
        rig.session.journal().attach(&rig.session.table());
        JournalWatch watch(rig.session.journal());
        QSignalSpy failed(&watch, &JournalWatch::writeFailed);
        rig.store("20.0");
        rig.session.journal().flush();
        QCOMPARE(watch.kept(), JournalWatch::Kept::InJournal);
        FileFaults::install(
            [](FileFaults::Step, const QString &p) { return p.contains("journal") ? EIO : 0; });
        for (int i = 0; i < 3; ++i) {
            rig.store("20.1");
            rig.session.journal().flush();
        }
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(watch.kept(), JournalWatch::Kept::WriteFailed);
        QCOMPARE(failed[0][0].toString(), watch.path());
    }

    // The outputs built for a session: the alarm log that cannot be opened is said once the
    // face listens (opening), and alarms raised by the rows reach the log in the limits' unit.
    void outputsAlone()
    {
        Rig rig;
        QTemporaryDir dir;
        OutputOptions o;
        o.Notify = false;
        o.Alarms.High = 86;
        o.Alarms.Unit = QStringLiteral("\u00B0F");
        o.AlarmLog = dir.filePath("file-in-the-way/alarms.txt");
        QFile blocker(dir.filePath("file-in-the-way"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        Outputs outputs(rig.session, o);
        QSignalSpy logFailed(&outputs, &Outputs::alarmLogFailed);
        QTRY_COMPARE(logFailed.size(), 1);
        QCOMPARE(logFailed[0][2].toBool(), true); // on opening
        rig.store("29.0");                        // 84.2 °F
        rig.store("31.0");                        // 87.8 °F: above
        const QList<AlarmEvent> &log = outputs.alarms().log().entries();
        QCOMPARE(log.size(), 1);
        QCOMPARE(log[0].Unit, QStringLiteral("\u00B0F"));
        QCOMPARE(*log[0].Value, 31.0 * 9 / 5 + 32);
        QVERIFY(outputs.alarms().log().path().endsWith("alarms.txt"));
    }

    // A logger gone blind, one kind after another, each caused as it happens (the engine's
    // own signals, writes that fail on the disk, a broker that is not there and then is) and
    // cured: each alarm starts and ends once, in the alarm log (made with the first of them),
    // through the command with TX9_ALARM naming it, in the metrics while it is on, and in what
    // the report is given; without any limit set.
    void blindLogger()
    {
        Rig rig;
        QTemporaryDir dir;
        const QString data = dir.filePath("run.txt"), log = dir.filePath("run-alarms.txt"),
                      commands = dir.filePath("commands.txt");
        std::atomic<bool> fullDisk = false;
        QString failing; // the file the disk fails
        FileFaults::install([&](FileFaults::Step step, const QString &path) {
            return fullDisk && path.startsWith(failing) && step == FileFaults::Step::Write ? ENOSPC
                                                                                           : 0;
        });
        OutputOptions o;
        o.Notify = false;
        o.AlarmLog = log;
        o.AlarmLogAtFirst = true;
        o.OnAlarm = QStringLiteral("echo \"$TX9_ALARM/$TX9_STATE\" >> '%1'").arg(commands);
        o.MetricsFile = dir.filePath("tx9.prom");
        o.BrokerAlarmSeconds = 1;
        rig.session.journal().attach(&rig.session.table());
        Outputs outputs(rig.session, o);
        AlarmMonitor &alarms = outputs.alarms();
        DataFileOutput file(rig.session, {data, false, Existing::Refuse});
        QString why;
        QCOMPARE(file.open(&why), DataFileOutput::Opened::Ok);
        outputs.followDataFile(file);
        rig.store("20.0");
        QVERIFY(!QFile::exists(log));
        LocalBroker broker(dir.filePath("broker"));
        Mqtt::Options mqtt;
        mqtt.Url = QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port);
        mqtt.Host = QStringLiteral("127.0.0.1");
        mqtt.Port = broker.port;
        mqtt.Id = QStringLiteral("blind");

        LoggerEngine &engine = rig.session.engine();
        struct Kind
        {
            AlarmKind Kind;
            std::function<void()> Cause, Cure;
            QString Detail; // a word the alarm's detail has
        };
        const QList<Kind> kinds{
            {AlarmKind::CableLost, [&] { emit engine.cableGone(); },
             [&] { emit engine.recallLocked(true); }, "unplugged"},
            {AlarmKind::MeterSilent, [&] { emit engine.watchdogTripped(); },
             [&] { emit engine.frameArrived(QStringLiteral("frame")); }, "sends nothing"},
            {AlarmKind::NotWritable,
             [&] {
                 failing = rig.session.journal().path();
                 fullDisk = true;
                 rig.store("20.1");
             },
             [&] {
                 fullDisk = false;
                 rig.store("20.2");
             },
             "journal"},
            {AlarmKind::NotWritable,
             [&] {
                 failing = data;
                 fullDisk = true;
                 rig.store("20.3");
             },
             [&] {
                 fullDisk = false;
                 rig.store("20.4");
             },
             "data file"},
            // Publishing starts towards a broker that is not there: unreachable after its hold.
            {AlarmKind::BrokerUnreachable,
             [&] {
                 QString error;
                 QVERIFY2(outputs.startPublishing(mqtt, QString(), &error), qPrintable(error));
             },
             [&] { QVERIFY(broker.start()); }, "cannot be reached"},
            {AlarmKind::OutboxNotWritable,
             [&] {
                 failing = outputs.publisher()->outboxFolder();
                 fullDisk = true;
                 rig.store("20.5");
             },
             [&] {
                 fullDisk = false;
                 rig.store("20.6");
             },
             "outbox"},
        };
        qsizetype seen = 0;
        const auto metric = [&](AlarmKind k) {
            const QByteArray line = "tx9_alarm_active{logger=";
            for (const QByteArray &l : outputs.metrics()->text().split('\n'))
                if (l.startsWith(line) &&
                    l.contains("alarm=\"" + AlarmRules::kindName(k).toUtf8() + "\"}"))
                    return l.endsWith(" 1");
            return false;
        };
        for (const Kind &k : kinds) {
            const QString name = AlarmRules::kindName(k.Kind);
            k.Cause();
            QTRY_VERIFY2_WITH_TIMEOUT(alarms.active(k.Kind), qPrintable(name), 10000);
            QVERIFY(metric(k.Kind));
            QCOMPARE(alarms.activeKinds(), QStringList{name});
            k.Cure();
            QTRY_VERIFY2_WITH_TIMEOUT(!alarms.active(k.Kind), qPrintable(name), 10000);
            QVERIFY(!metric(k.Kind));
            const QList<AlarmEvent> &entries = alarms.log().entries();
            QCOMPARE(entries.size(), seen + 2);
            const AlarmEvent &start = entries[seen], &end = entries[seen + 1];
            QCOMPARE(start.Kind, k.Kind);
            QVERIFY(start.Start && !end.Start);
            QCOMPARE(end.BreachStart, start.BreachStart);
            QVERIFY2(start.Detail.contains(k.Detail), qPrintable(start.Detail));
            QVERIFY(AlarmLog::sentence(start, {}).contains(start.Detail));
            seen += 2;
        }
        // The broker's alarm waited for its hold; the others started at once.
        const AlarmEvent &broker0 = alarms.log().entries()[8];
        QVERIFY2(broker0.Seconds >= 1, qPrintable(QString::number(broker0.Seconds)));
        // Each in the log's file, a start and an end, and through the command.
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QStringList logged;
        for (const QByteArray &line : f.readAll().split('\n').mid(1))
            if (!line.isEmpty())
                logged << QString::fromUtf8(line.split('\t')[1] + '/' + line.split('\t')[0]);
        QStringList expected;
        for (const Kind &k : kinds)
            expected << AlarmRules::kindName(k.Kind) + "/start"
                     << AlarmRules::kindName(k.Kind) + "/end";
        QCOMPARE(logged, expected);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8([&] {
                                      QFile c(commands);
                                      return c.open(QIODevice::ReadOnly) ? c.readAll()
                                                                         : QByteArray();
                                  }())
                                      .split('\n', Qt::SkipEmptyParts)
                                      .size(),
                                  expected.size(), 10000);
        // Each once. The commands run side by side (up to four at once), so on a loaded machine
        // an end's command may append its line before its start's: the order is the log's,
        // checked above, not that of the commands' lines.
        QFile c(commands);
        QVERIFY(c.open(QIODevice::ReadOnly));
        QStringList ran = QString::fromUtf8(c.readAll()).split('\n', Qt::SkipEmptyParts);
        QStringList wanted = expected;
        ran.sort();
        wanted.sort();
        QCOMPARE(ran, wanted);
        // The report is given them, ended; one still on is given as still on.
        emit engine.cableGone();
        QVERIFY(alarms.active(AlarmKind::CableLost));
        const SummaryInput in = outputs.summaryInput(QStringLiteral("cable"), QStringLiteral("1"));
        QCOMPARE(in.BlindAlarms.size(), expected.size() + 1);
        QVERIFY(in.BlindAlarms.last().Start && in.BlindAlarms.last().OpenAtEnd);
        file.close();
    }

    // The audit trail alone: notes made, edited and removed (the text of a removed one kept),
    // alarm limits changed (before and after), each entry placed after the rows before it
    // and in the seal, which an independent walk over the same rows and entries gives again;
    // the table emptied begins a new recording whose seal is that of its own first entry.
    void auditTrailAlone()
    {
        Rig rig;
        QTemporaryDir dir;
        OutputOptions o;
        o.Notify = false;
        o.Timeline = true;
        o.AuditLog = dir.filePath("audit-log.txt");
        Outputs outputs(rig.session, o);
        AuditTrail &audit = outputs.audit();
        outputs.beginAudit(QStringLiteral("9.9"));
        rig.store("20.0");
        Notes &notes = outputs.timeline()->notes();
        const qint64 id = notes.add(rig.at.toMSecsSinceEpoch(), 0, 1, QStringLiteral("door open"));
        rig.store("21.0");
        notes.edit(id, QStringLiteral("door open\tfor cleaning"));
        AlarmSettings limits;
        limits.High = 25;
        outputs.setAlarmSettings(limits);
        rig.store("22.0");
        notes.remove(id);
        std::vector<std::pair<QString, QString>> seen;
        for (const AuditEntry &e : audit.entries())
            seen.push_back({e.What, e.Old + QLatin1Char('|') + e.New});
        const std::vector<std::pair<QString, QString>> expected{
            {"session started", "|tx9-logger 9.9, process " + QString::number(::getpid())},
            {"alarm settings", "|high none, low none, hold 0 s, hysteresis 0.5"},
            {"note on No 1 added", "|door open"},
            {"note on No 1 edited", "door open|door open for cleaning"},
            {"alarm settings",
             "high none, low none, hold 0 s, hysteresis 0.5|high 25, low none, hold 0 s, "
             "hysteresis 0.5"},
            {"note on No 1 removed", "door open for cleaning|"},
        };
        QCOMPARE(seen, expected);
        const std::vector<qint64> places{0, 0, 1, 2, 2, 3};
        for (size_t i = 0; i < places.size(); ++i)
            QCOMPARE(audit.entries()[i].Rows, places[i]);
        // The seal walked again from the rows and the entries in their places.
        Seal again;
        size_t e = 0;
        const MeasurementTable &t = rig.session.table();
        for (qint64 r = 0; r <= t.count(); ++r) {
            for (; e < audit.entries().size() && audit.entries()[e].Rows <= r; ++e)
                again.addEntry(audit.entries()[e]);
            if (r < t.count())
                again.addRow(t.no(r), t.text(r, MeasurementTable::FieldTime),
                             t.text(r, MeasurementTable::FieldValue),
                             t.text(r, MeasurementTable::FieldUnit));
        }
        QCOMPARE(audit.seal().text(), again.text());
        // Every entry in the log, one line each, as it was made.
        QFile log(o.AuditLog);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll().count('\n'), qsizetype(audit.all().size()));

        const QString before = audit.seal().text();
        rig.session.table().clear();
        QCOMPARE(audit.entries().size(), size_t(1));
        QCOMPARE(audit.entries()[0].Old, "3 rows, seal " + before);
        Seal fresh;
        fresh.addEntry(audit.entries()[0]);
        QCOMPARE(audit.seal().text(), fresh.text());
        QCOMPARE(audit.all().size(), size_t(7));
    }

    // Live, no alarm runs across a gap either: once no reading has come for longer than the
    // gap, what the limits raised ends at the last reading, and a breach after it is a new
    // alarm; readings closer together keep it on.
    void liveAlarmEndsAtAGap()
    {
        Rig rig;
        AlarmMonitor monitor(rig.session);
        QList<AlarmEvent> said;
        connect(&monitor, &AlarmMonitor::alarm, this, [&](const AlarmEvent &e) { said << e; });
        AlarmSettings high;
        high.High = 25;
        monitor.setSettings(high);
        monitor.setGapSeconds(0.8);
        rig.store(QStringLiteral("30.0"));
        QTest::qWait(300);
        rig.store(QStringLiteral("31.0"));
        const QDateTime last = *rig.session.table().captured(1);
        QCOMPARE(said.size(), 1);
        QVERIFY(monitor.active(AlarmKind::High));
        QTRY_COMPARE_WITH_TIMEOUT(said.size(), 2, 3000); // the second's tick sees the gap
        QVERIFY(!said[1].Start);
        QCOMPARE(said[1].Time, last);
        QCOMPARE(*said[1].Worst, 31.0);
        QVERIFY(!monitor.active(AlarmKind::High));
        rig.store(QStringLiteral("32.0"));
        QCOMPARE(said.size(), 3);
        QVERIFY(said[2].Start);
        QCOMPARE(said[2].BreachStart, *rig.session.table().captured(2));
    }

    // A restore judges the rows it brings back by the limits the crashed session had at each
    // (none before it set them), whatever is set here, and keeps that session's cable loss as
    // an alarm; a report of the table says the same limits.
    void restoreKeepsLimitsAndCableLosses()
    {
        QTemporaryDir dir;
        const QString killed = dir.filePath("killed.txt");
        {
            Rig a;
            a.session.journal().attach(&a.session.table());
            OutputOptions o;
            o.Notify = false;
            Outputs outputs(a.session, o);
            outputs.beginAudit(QStringLiteral("9.9"));
            for (int i = 0; i < 3; ++i)
                a.store(QStringLiteral("30.0"));
            AlarmSettings high;
            high.High = 25;
            outputs.setAlarmSettings(high);
            for (int i = 0; i < 3; ++i)
                a.store(QStringLiteral("30.0"));
            outputs.audit().record(QStringLiteral("cable lost"));
            outputs.audit().record(QStringLiteral("connected"));
            a.session.journal().flush();
            QVERIFY(QFile::copy(a.session.journal().path(), killed));
        }
        Rig b;
        OutputOptions o;
        o.Notify = false;
        o.Timeline = true;
        o.Alarms.High = 100; // no reading breaks it
        Outputs outputs(b.session, o);
        outputs.beginAudit(QStringLiteral("9.9"));
        MeasurementTable rows;
        const Journal::Contents c = Journal::read(killed, rows);
        QCOMPARE(rows.count(), qint64(6));
        outputs.timeline()->appendBatch(b.session.table(), std::move(rows),
                                        {Timeline::Why::Restored, {}, c.Marks, {}, {}});
        outputs.restored(0, 5, c.Marks);
        const QList<AlarmEvent> all = outputs.alarms().allEntries();
        QList<AlarmEvent> high, lost;
        for (const AlarmEvent &e : all)
            (e.Kind == AlarmKind::High ? high : lost) << e;
        QCOMPARE(high.size(), 1);
        QVERIFY(high[0].Recomputed && high[0].OpenAtEnd);
        QCOMPARE(high[0].BreachStart, *b.session.table().captured(3));
        QCOMPARE(high[0].Limit, 25.0);
        QCOMPARE(lost.size(), 2);
        QVERIFY(lost[0].Kind == AlarmKind::CableLost && lost[0].Start && lost[0].Recomputed);
        QVERIFY(lost[1].Kind == AlarmKind::CableLost && !lost[1].Start);
        QCOMPARE(outputs.alarms().blindEntries(AlarmMoment::now()).size(), 2);
        const SummaryInput in = outputs.summaryInput({}, QStringLiteral("9.9"));
        QVERIFY(!limitsAt(in.LimitsInForce, 2).any());
        QCOMPARE(limitsAt(in.LimitsInForce, 3).High, 25.0);
        // What is recorded from here on is judged by the limits set here.
        QCOMPARE(limitsAt(in.LimitsInForce, 6).High, 100.0);
    }

    // A session killed at a random point and restored: every audit entry whose journal line
    // was whole comes back, in its order, whatever fields are empty or what they hold (tabs,
    // line breaks, backslashes, blanks at either end); and every seal the killed session
    // showed whose rows and entries reached the journal holds on the file saved after the
    // restore. Random sessions; the seed is printed.
    void restoreKeepsEveryEntryAndSeal()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("restoreKeepsEveryEntryAndSeal seed %u", seed);
        QRandomGenerator rng(seed);
        const std::optional<SigningKey> key = SigningKey::generate(QStringLiteral("t@x"));
        QVERIFY(key);
        AllowedSigners signers;
        signers.add(key->publicBlob(), QStringLiteral("t@x"));
        const QStringList pieces{"",    "a",  "\t",     "\n", "\\",  "\\t",  " ",
                                 "x y", "\r", "\u00e9", "°C", "\\n", "  28 "};
        auto text = [&](int most) {
            QString t;
            for (int n = int(rng.bounded(most + 1)); n > 0; --n)
                t += pieces[int(rng.bounded(int(pieces.size())))];
            return t;
        };
        const QStringList kinds{"cable lost",
                                "disconnected",
                                "note on No 2 removed",
                                "note at 2026-12-10T07:00:03+01:00 edited",
                                "interval",
                                "alarm settings",
                                "report signed",
                                "wall clock set"};
        QTemporaryDir dir;
        for (int round = 0; round < 10; ++round) {
            const QString killed = dir.filePath(QStringLiteral("killed-%1.txt").arg(round));
            struct Taken
            {
                QString Seal;
                qint64 Journaled = 0; // the journal's size once it was written
            };
            std::vector<Taken> seals;
            std::vector<std::pair<AuditEntry, qint64>> made; // each entry, and the size then
            {
                Rig a;
                a.session.journal().attach(&a.session.table());
                OutputOptions o;
                o.Notify = false;
                Outputs outputs(a.session, o);
                AuditTrail &audit = outputs.audit();
                outputs.beginAudit(QStringLiteral("9.9"));
                Journal &journal = a.session.journal();
                auto size = [&] {
                    journal.flush();
                    return QFileInfo(journal.path()).size();
                };
                const int steps = 5 + int(rng.bounded(50));
                for (int i = 0; i < steps; ++i) {
                    const quint32 what = rng.bounded(5);
                    if (what < 2) {
                        a.store(QString::number(20 + rng.bounded(100) / 10.0, 'f', 1));
                    } else if (what < 4) {
                        audit.record(rng.bounded(3) == 0
                                         ? text(3)
                                         : kinds[int(rng.bounded(int(kinds.size())))],
                                     text(2), text(2));
                    }
                    const qint64 now = size();
                    for (size_t e = made.size(); e < audit.all().size(); ++e)
                        made.push_back({audit.all()[e], now});
                    if (what == 4 || rng.bounded(4) == 0)
                        seals.push_back({audit.seal().text(), now});
                }
                // Killed: the journal as the disk had it, cut anywhere after its header.
                QFile::remove(killed);
                QVERIFY2(QFile::copy(journal.path(), killed), qPrintable(journal.path()));
                const qint64 whole = QFileInfo(killed).size();
                const qint64 header = made.empty() ? 0 : made.front().second;
                QVERIFY(QFile::resize(killed,
                                      header + qint64(rng.bounded(quint32(whole - header + 1)))));
            }
            const qint64 cut = QFileInfo(killed).size();
            Rig b;
            OutputOptions o;
            o.Notify = false;
            Outputs outputs(b.session, o);
            outputs.beginAudit(QStringLiteral("9.9"));
            const qsizetype own = qsizetype(outputs.audit().entries().size());
            MeasurementTable rows;
            const Journal::Contents c = Journal::read(killed, rows);
            b.session.table().appendFrom(std::move(rows));
            outputs.audit().restored(0, c.Marks);
            // Every entry whose line was whole, in its order, as it was made.
            std::vector<AuditEntry> expected;
            for (const auto &[entry, journaled] : made)
                if (journaled <= cut)
                    expected.push_back(entry);
            const std::vector<AuditEntry> &back = outputs.audit().entries();
            QVERIFY2(back.size() >= expected.size() + size_t(own),
                     qPrintable(QStringLiteral("seed %1 round %2: %3 entries back of %4")
                                    .arg(seed)
                                    .arg(round)
                                    .arg(back.size() - size_t(own))
                                    .arg(expected.size())));
            for (size_t i = 0; i < expected.size(); ++i)
                QVERIFY2(back[i].fields() == expected[i].fields(),
                         qPrintable(QStringLiteral("seed %1 round %2 entry %3: %4 against %5")
                                        .arg(seed)
                                        .arg(round)
                                        .arg(i)
                                        .arg(QString::fromUtf8(back[i].fields()),
                                             QString::fromUtf8(expected[i].fields()))));
            // Saved after the restore: each seal shown before the kill holds on it.
            const QString file = dir.filePath(QStringLiteral("saved-%1.txt").arg(round));
            QString why;
            QVERIFY2(
                DataFiles::saveTable(b.session.table(), file, QDate(2026, 12, 10), nullptr, &why),
                qPrintable(why));
            QVERIFY2(
                Trail::sealSaved(file, b.session.table(), outputs.audit().entries(), *key, &why),
                qPrintable(why));
            for (const Taken &t : seals) {
                if (t.Journaled > cut)
                    continue;
                Verify::Options check;
                check.Signers = &signers;
                QByteArray hex;
                QVERIFY(Seal::parse(t.Seal, &hex, &check.SealRows));
                check.SealHex = hex;
                const Verify::Result r = Verify::file(file, check);
                QVERIFY2(r.What == Verify::Outcome::Intact,
                         qPrintable(QStringLiteral("seed %1 round %2 seal %3: %4")
                                        .arg(seed)
                                        .arg(round)
                                        .arg(t.Seal, r.Sentence)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_Outputs)
#include "tst_Outputs.moc"
