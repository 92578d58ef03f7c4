#include "app/RD7F.h"
#include "common/ScriptedPrompts.h"
#include "common/SmallDisk.h"
#include "common/Wait.h"
#include "headless/Headless.h"
#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "recording/MeasurementTable.h"
#include "sim/SimulatedThermometer.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

// The logger without a window: the same engine as the window's on the simulated cable, and
// the real program (the demo build) run as a command with its signals and exit statuses.
class tst_Headless : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static ThermometerSettings fast()
    {
        ThermometerSettings s;
        // Fast, with the real cable's slack: the bus keeps 64 unread reports, like the kernel,
        // and a reader thread on a loaded machine (or under a sanitizer) may wait a while.
        s.IdleIntervalUs = 5000;
        s.LiveIntervalUs = 20000;
        s.ByteGapUs = 1000;
        s.OddDisplayEvery = 0;
        return s;
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // The data lines of a text data file, without its date line and header.
    static QStringList rows(const QByteArray &file)
    {
        QStringList lines = QString::fromUtf8(file).split("\r\n");
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        // A journal's marks between the rows (connected, disconnected) are no rows.
        lines = lines.mid(3);
        lines.removeIf([](const QString &l) { return l.startsWith(QLatin1String("#break\t")); });
        return lines;
    }
    // The same with the clock time of arrival left out: two runs meet the same readings at
    // different times.
    static QStringList withoutTimes(QStringList lines)
    {
        for (QString &line : lines) {
            QStringList f = line.split('\t');
            if (f.size() == 4)
                f[1] = "-";
            line = f.join('\t');
        }
        return lines;
    }
    static QList<int> numbers(const QStringList &lines)
    {
        QList<int> out;
        for (const QString &line : lines)
            out << line.section('\t', 0, 0).toInt();
        return out;
    }

    struct Run
    {
        SimulatedHidBus bus;
        std::shared_ptr<SimulatedThermometer> meter =
            std::make_shared<SimulatedThermometer>(fast());
        int cable = -1;
        int out = -1, err = -1;
        QString outPath, errPath;
        std::unique_ptr<HeadlessRun> run;
        int status = -1;

        Run(const QTemporaryDir &dir, const Headless::Options &options, bool plug = true,
            VirtualInterface cableIface = SimulatedThermometer::cableInterface())
        {
            if (plug)
                cable = bus.plug(cableIface, meter);
            outPath = dir.filePath("stdout.txt");
            errPath = dir.filePath("stderr.txt");
            out = ::open(QFile::encodeName(outPath), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            err = ::open(QFile::encodeName(errPath), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            run = std::make_unique<HeadlessRun>(options, &bus, out, err);
            QObject::connect(run.get(), &HeadlessRun::finished, run.get(),
                             [this](int s) { status = s; });
        }
        ~Run()
        {
            run.reset();
            ::close(out);
            ::close(err);
        }
        QString errors() const { return QString::fromUtf8(read(errPath)); }
        QStringList stdoutLines() const
        {
            QStringList lines = QString::fromUtf8(read(outPath)).split("\r\n");
            lines.removeLast();
            return lines;
        }
    };

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        // The cables' ID locks in a folder of this test's own.
        QDir().mkpath(dir.filePath("locks"));
        qputenv("TX9_LOCK_DIR", QFile::encodeName(dir.filePath("locks")));
    }

    // A download gives the rows the window saves for the same instrument, byte for byte but
    // for the date line and the clock times.
    void downloadMatchesWhatTheWindowSaves()
    {
        QList<SimulatedThermometer::Stored> memory;
        for (int i = 0; i < 40; ++i)
            memory.append({i % 7 == 3 ? "0" : "1",
                           QStringLiteral("%1").arg(100 + i * 37 % 900, 4, 10, QChar('0'))});
        memory.append(SimulatedThermometer::Stored{"1", "A0LA"}); // an over-range display
        memory.append(SimulatedThermometer::Stored{"1", "AB5A"});
        const QString windowFile = dir.filePath("window.txt");
        {
            ScriptedPrompts prompts;
            prompts.messageAnswers.enqueue(mrNo); // keep the (empty) table
            SimulatedHidBus bus;
            auto meter = std::make_shared<SimulatedThermometer>(fast());
            meter->setMemory(memory);
            bus.plug(SimulatedThermometer::cableInterface(), meter);
            TFCOMM w(&bus);
            w.RecallData->setChecked(true);
            w.USBCon->click();
            QVERIFY(waitUntil([&] { return meter->commands().contains(91); }, 20000));
            QTest::qWait(50);
            w.SaveTableToFile(w.cds1, windowFile);
        }
        Headless::Options o;
        o.Download = true;
        o.Output = dir.filePath("headless.txt");
        Run r(dir, o);
        r.meter->setMemory(memory);
        r.run->start();
        QVERIFY(waitUntil([&] { return r.status >= 0; }, 20000));
        QCOMPARE(r.status, int(Headless::Ok));
        const QStringList fromWindow = rows(read(windowFile));
        QVERIFY(fromWindow.size() >= 40); // a dash display is shown, not stored
        QCOMPARE(withoutTimes(rows(read(o.Output))), withoutTimes(fromWindow));
        // The header lines after the date are the window's too.
        QCOMPARE(read(o.Output).split('\n').mid(1, 2), read(windowFile).split('\n').mid(1, 2));
        // After the end mark the instrument got the stop command once, and nothing after it.
        QCOMPARE(r.meter->commands().count(91), 1);
        QCOMPARE(r.meter->commands().last(), quint8(91));
        QVERIFY(r.stdoutLines().isEmpty());
    }

    // Interval 0: every live frame becomes a row, in the file as it grows and on standard
    // output, numbered without a gap; the stop sends the stop command.
    void liveRunStoresEveryReading()
    {
        Headless::Options o;
        o.Interval = 0;
        o.ToStdout = true;
        o.Output = dir.filePath("live.txt");
        Run r(dir, o);
        r.run->start();
        QVERIFY(r.run->running());
        QVERIFY(waitUntil([&] { return r.run->table().count() >= 30; }, 20000));
        // Written as it goes: within about a second the file holds the rows so far.
        const qint64 soFar = r.run->table().count();
        QVERIFY(waitUntil([&] { return rows(read(o.Output)).size() >= soFar; }, 3000));
        r.run->stop();
        QCOMPARE(r.status, int(Headless::Ok));
        QCOMPARE(r.meter->commands().last(), quint8(91));
        QTest::qWait(100); // frames in flight when the stop went out are not the program's
        const QStringList fileRows = rows(read(o.Output));
        QCOMPARE(fileRows.size(), int(r.run->table().count()));
        QCOMPARE(fileRows, r.stdoutLines());
        QVERIFY(qAbs(r.meter->liveFramesSent() - fileRows.size()) <= 1);
        QList<int> expected;
        for (int i = 1; i <= fileRows.size(); ++i)
            expected << i;
        QCOMPARE(numbers(fileRows), expected);
        MeasurementTable back;
        QCOMPARE(DataFiles::loadTable(o.Output, back, true), DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), qint64(fileRows.size()));
    }

    // Pulling the cable does not end the run; when it returns, logging goes on with the
    // next number. The repeat filter and the limit still apply.
    void unplugAndReplugKeepTheNumbering()
    {
        Headless::Options o;
        o.Interval = 0;
        o.Repeat = false;
        o.Limit = 60;
        o.Output = dir.filePath("replug.txt");
        Run r(dir, o);
        r.run->start();
        QVERIFY(waitUntil([&] { return r.run->table().count() >= 10; }, 20000));
        r.bus.unplug(r.cable);
        QVERIFY(waitUntil([&] { return r.errors().contains("unplugged"); }, 5000));
        const qint64 before = r.run->table().count();
        QTest::qWait(200);
        QCOMPARE(r.run->table().count(), before);
        QVERIFY(r.run->running());
        r.cable = r.bus.plug(SimulatedThermometer::cableInterface(), r.meter);
        QVERIFY(waitUntil([&] { return r.status >= 0; }, 20000));
        QCOMPARE(r.status, int(Headless::Ok));
        QVERIFY(r.errors().contains("back"));
        const QStringList lines = rows(read(o.Output));
        QCOMPARE(lines.size(), 60);
        const QList<int> n = numbers(lines);
        for (int i = 1; i < n.size(); ++i)
            QVERIFY2(n[i] > n[i - 1], qPrintable(lines.join('\n')));
        // A skipped repeat uses up its number: the last No is at least the row count.
        QVERIFY(n.last() >= 60);
        for (int i = 1; i < lines.size(); ++i)
            QVERIFY(lines[i].section('\t', 2) != lines[i - 1].section('\t', 2));
    }

    // Two cables, known by their IDs (a serial number, a port path), each thermometer in its
    // own unit so that cross-talk shows: --device by ID takes that one; --list shows both; a
    // run whose cable is pulled, while another cable is plugged in meanwhile, takes only its
    // own cable again (on its new node) and never the other one.
    void cablesByTheirIds()
    {
        auto cable = [](const QString &node, const QString &serial, const QString &port) {
            VirtualInterface v = SimulatedThermometer::cableInterface();
            v.InstanceId = node + QStringLiteral("-instance");
            v.Path = node;
            v.Properties.insert(QStringLiteral("serial"), serial);
            v.Properties.insert(QStringLiteral("usb_port"), port);
            return v;
        };
        ThermometerSettings inF = fast();
        inF.Fahrenheit = true;
        const auto meterB = std::make_shared<SimulatedThermometer>(inF);
        const auto meterC = std::make_shared<SimulatedThermometer>(inF);
        {
            Headless::Options o;
            o.List = true;
            o.Device = "B2";
            Run r(dir, o, false);
            r.bus.plug(cable("/sim/a", "A1", "1-1.2"), r.meter);
            r.bus.plug(cable("/sim/b", "B2", "1-1.3"), meterB);
            r.run->start();
            QCOMPARE(r.status, int(Headless::Ok));
            const QString listed = QString::fromUtf8(read(r.outPath));
            QVERIFY2(listed.contains(QRegularExpression(
                         "^   1  /sim/a  .*  serial A1  port 1-1.2  cable ID A1\n\\*  2  /sim/b  "
                         ".*  serial B2  port 1-1.3  cable ID B2\n$")),
                     qPrintable(listed));
        }
        Headless::Options o;
        o.Interval = 0;
        o.Repeat = false;
        o.Limit = 40;
        o.Device = "1-1.2"; // cable A by its port path
        o.Output = dir.filePath("cable-a.txt");
        Run r(dir, o, false);
        int a = r.bus.plug(cable("/sim/a", "A1", "1-1.2"), r.meter);
        r.bus.plug(cable("/sim/b", "B2", "1-1.3"), meterB);
        r.run->start();
        QVERIFY(waitUntil([&] { return r.run->table().count() >= 10; }, 20000));
        r.bus.unplug(a);
        QVERIFY(waitUntil([&] { return r.errors().contains("unplugged"); }, 5000));
        // Another cable in the meantime, in A's socket even: it has its own serial number.
        const int c = r.bus.plug(cable("/sim/c", "C3", "1-1.2"), meterC);
        QTest::qWait(1500);
        QVERIFY(r.run->running());
        const qint64 before = r.run->table().count();
        r.bus.unplug(c);
        a = r.bus.plug(cable("/sim/a-again", "A1", "1-1.4"), r.meter);
        QVERIFY(waitUntil([&] { return r.status >= 0; }, 20000));
        QCOMPARE(r.status, int(Headless::Ok));
        QVERIFY(r.errors().contains("back"));
        const QStringList lines = rows(read(o.Output));
        QCOMPARE(lines.size(), 40);
        QVERIFY(before < 40);
        for (const QString &line : lines)
            QCOMPARE(line.section('\t', 3), QStringLiteral("#")); // A's readings only
        QVERIFY(meterB->commands().isEmpty() && meterC->commands().isEmpty());
    }

    // Several thermometers, each logger a process of its own (the demo with the same two
    // cables, A in °C and B in °F, whose nodes are files locked as /dev/hidrawN would be):
    // - two runs by cable ID each record only their own thermometer, and --list names the
    //   process logging each cable;
    // - a third run asking for a cable in use ends at once with 10 and names the process; the
    //   first goes on untouched;
    // - runs without --device take the first free cable; with both in use one ends with 3,
    //   and one with --wait takes a cable once it is free.
    void severalCablesOneLoggerEach()
    {
        QTemporaryDir d;
        const QString a = d.filePath("hidraw-a"), b = d.filePath("hidraw-b");
        for (const QString &node : {a, b}) {
            QFile f(node);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QStringList cables{"--cable", a + ",A1,1-1.2,C", "--cable", b + ",B2,1-1.3,F"};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TX9_LOCK_DIR", d.path());
        env.insert("XDG_STATE_HOME", d.filePath("state"));
        std::vector<std::unique_ptr<QProcess>> runs;
        auto start = [&](const QStringList &args) {
            auto p = std::make_unique<QProcess>();
            p->setProcessEnvironment(env);
            p->start(TX9_DEMO, QStringList{"--headless", "--interval", "0", "-q"} + cables + args);
            p->waitForStarted();
            runs.push_back(std::move(p));
            return runs.back().get();
        };
        auto ended = [](QProcess *p, int ms = 20000) {
            return p->waitForFinished(ms) ? p->exitCode() : -1;
        };
        QProcess *runA = start({"--device", "A1", "-o", d.filePath("a.txt")});
        QProcess *runB = start({"--device", "1-1.3", "-o", d.filePath("b.txt")});
        QVERIFY(waitUntil(
            [&] {
                return rows(read(d.filePath("a.txt"))).size() >= 5 &&
                       rows(read(d.filePath("b.txt"))).size() >= 5;
            },
            20000));
        QProcess *list = start({"--list"});
        QCOMPARE(ended(list), 0);
        const QString listed = QString::fromUtf8(list->readAllStandardOutput());
        QVERIFY2(listed.contains(
                     QStringLiteral("cable ID A1  logged by PID %1").arg(runA->processId())) &&
                     listed.contains(
                         QStringLiteral("cable ID B2  logged by PID %1").arg(runB->processId())),
                 qPrintable(listed));
        QProcess *twice = start({"--device", a});
        QCOMPARE(ended(twice, 5000), int(Headless::CableInUse));
        QVERIFY(QString::fromUtf8(twice->readAllStandardError())
                    .contains(QStringLiteral("in use by PID %1.").arg(runA->processId())));
        QProcess *third = start({});
        QCOMPARE(ended(third, 5000), int(Headless::NoCable));
        QProcess *waiting = start({"--wait", "--limit", "3", "-o", d.filePath("w.txt")});
        QTest::qWait(1000);
        QCOMPARE(waiting->state(), QProcess::Running);
        const qint64 before = rows(read(d.filePath("a.txt"))).size();
        runB->terminate();
        QCOMPARE(ended(runB), 0);
        QCOMPARE(ended(waiting), 0);
        QVERIFY(rows(read(d.filePath("a.txt"))).size() > before); // A never stopped
        runA->terminate();
        QCOMPARE(ended(runA), 0);
        // No cross-talk: A's rows are all in °C, B's (and the waiting run's, on B) in °F.
        for (const auto &[file, unit] : {std::pair{"a.txt", "#"}, {"b.txt", "?"}, {"w.txt", "?"}})
            for (const QString &line : rows(read(d.filePath(file))))
                QCOMPARE(line.section('\t', 3), QString::fromLatin1(unit));
        QCOMPARE(rows(read(d.filePath("w.txt"))).size(), 3);
        // Without --device, two runs take the two cables, one each.
        QProcess *first = start({"--limit", "8", "-o", d.filePath("f1.txt")});
        QProcess *second = start({"--limit", "8", "-o", d.filePath("f2.txt")});
        QCOMPARE(ended(first), 0);
        QCOMPARE(ended(second), 0);
        const QString u1 = rows(read(d.filePath("f1.txt"))).value(0).section('\t', 3),
                      u2 = rows(read(d.filePath("f2.txt"))).value(0).section('\t', 3);
        QVERIFY2(QSet<QString>({u1, u2}) == QSet<QString>({"#", "?"}), qPrintable(u1 + u2));
    }

    // Locks fail loudly and safely: of runs racing for a cable known only by its node, without
    // --wait, one logs and the others end with 3 at once (before, a loser waited forever); a
    // cable ID whose lock cannot be taken ends the run with 11, unless --no-id-lock.
    void locksFailLoudly()
    {
        QTemporaryDir d;
        const QString node = d.filePath("hidraw-n");
        QVERIFY(QFile(node).open(QIODevice::WriteOnly));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TX9_LOCK_DIR", d.path());
        env.insert("XDG_STATE_HOME", d.filePath("state"));
        auto start = [&](QProcess &p, const QString &cable, const QStringList &args) {
            p.setProcessEnvironment(env);
            p.start(TX9_DEMO,
                    QStringList{"--headless", "--interval", "0", "-q", "--cable", cable} + args);
            QVERIFY(p.waitForStarted());
        };
        for (int round = 0; round < 4; ++round) {
            QProcess runs[3];
            for (QProcess &p : runs)
                start(p, node + ",,,C", {"--limit", "3"});
            QList<int> statuses;
            for (QProcess &p : runs) {
                QVERIFY(p.waitForFinished(20000));
                statuses << p.exitCode();
            }
            std::sort(statuses.begin(), statuses.end());
            QCOMPARE(statuses, (QList<int>{0, int(Headless::NoCable), int(Headless::NoCable)}));
        }
        env.insert("TX9_LOCK_DIR", d.filePath("missing"));
        QProcess refused, without;
        start(refused, node + ",K7,1-4,C", {"--device", "K7", "--limit", "2"});
        QVERIFY(refused.waitForFinished(20000));
        QCOMPARE(refused.exitCode(), int(Headless::LockFailed));
        const QString err = QString::fromUtf8(refused.readAllStandardError());
        QVERIFY2(err.contains(d.filePath("missing") + "/tx9-logger-cable-K7.lock") &&
                     err.contains("--no-id-lock"),
                 qPrintable(err));
        start(without, node + ",K7,1-4,C", {"--device", "K7", "--limit", "2", "--no-id-lock"});
        QVERIFY(without.waitForFinished(20000));
        QCOMPARE(without.exitCode(), 0);
        QVERIFY(QString::fromUtf8(without.readAllStandardError()).contains("going on without it"));
    }

    // The data file fails in the middle of the run (the disk fills up): the run stops with
    // its own status, gives the reason, says where the rows are, and the journal holds every
    // row.
    void writeFailureLeavesTheRowsInTheJournal()
    {
        Headless::Options o;
        o.Interval = 0;
        o.Output = dir.filePath("fills.txt");
        std::atomic<bool> full{false};
        FileFaults::install([&](FileFaults::Step, const QString &path) {
            return full && path == o.Output ? ENOSPC : 0;
        });
        Run r(dir, o);
        r.run->start();
        QVERIFY(r.run->running());
        QVERIFY(waitUntil([&] { return r.run->table().count() >= 5; }, 20000));
        full = true;
        QVERIFY(waitUntil([&] { return r.status >= 0; }, 10000));
        FileFaults::install({});
        QCOMPARE(r.status, int(Headless::WriteFailed));
        QVERIFY2(r.errors().contains("No space left on device"), qPrintable(r.errors()));
        // What it says is in the file is what the file holds.
        const qint64 inFile = rows(read(o.Output)).size();
        QVERIFY2(r.errors().contains(QStringLiteral("only %1 of them are in").arg(inFile)),
                 qPrintable(r.errors()));
        const QString journal = r.run->journalPath();
        QVERIFY2(r.errors().contains(journal), qPrintable(r.errors()));
        QCOMPARE(withoutTimes(rows(read(journal))).size(), int(r.run->table().count()));
        MeasurementTable back;
        QCOMPARE(DataFiles::loadTable(journal, back, true), DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), r.run->table().count());
    }

    // Journals that ended runs left in any slot are set aside with a word each (one of them
    // not a journal at all); with a state folder that cannot be written, the run says once
    // that there is no journal, and a failing data file never names an empty path.
    void journalsWithoutAWindow()
    {
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        const QString state = dir.filePath("orphan-state");
        qputenv("XDG_STATE_HOME", state.toLocal8Bit());
        QDir().mkpath(state + "/tx9-logger");
        const QByteArray header = "Report created on: 12/8/26\r\n\r\nNo\tTime\tValue\tUnit\r\n";
        const QByteArray slot2 = header + "1\t10:00:00\t23.5\t#\r\n2\t10:00:01\t23.6\t#\r\n";
        for (const auto &[name, bytes] : {std::pair{"journal.txt", QByteArray(1000, '\0')},
                                          std::pair{"journal-2.txt", slot2}}) {
            QFile f(state + "/tx9-logger/" + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        Headless::Options o;
        o.Interval = 0;
        o.Limit = 3;
        {
            Run r(dir, o);
            r.run->start();
            QVERIFY(waitUntil([&] { return r.status >= 0; }, 20000));
            QCOMPARE(r.status, int(Headless::Ok));
            QVERIFY2(r.errors().contains("is not one of this program's journals"),
                     qPrintable(r.errors()));
            QVERIFY2(r.errors().contains("left 2 unsaved readings"), qPrintable(r.errors()));
        }
        const QStringList aside =
            QDir(state + "/tx9-logger").entryList({"unsaved-*.txt"}, QDir::Files);
        QCOMPARE(aside.size(), 2);

        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath("stdout.txt")));
        o.Limit.reset();
        o.Output = dir.filePath("nojournal.txt");
        std::atomic<bool> full{false};
        FileFaults::install([&](FileFaults::Step, const QString &path) {
            return full && path == o.Output ? ENOSPC : 0;
        });
        {
            Run r(dir, o);
            r.run->start();
            QVERIFY(waitUntil([&] { return r.run->table().count() >= 3; }, 20000));
            full = true;
            QVERIFY(waitUntil([&] { return r.status >= 0; }, 10000));
            FileFaults::install({});
            QCOMPARE(r.status, int(Headless::WriteFailed));
            const QString err = r.errors();
            QCOMPARE(err.count("There is no recovery journal"), 2);
            QVERIFY2(err.contains("The readings go to " + o.Output + " only."), qPrintable(err));
            QVERIFY2(err.contains("so they are kept nowhere else"), qPrintable(err));
            QVERIFY2(!err.contains("kept in ."), qPrintable(err));
        }
        qputenv("XDG_STATE_HOME", saved);
    }

    // The data file of a run that ends by itself fails at each step of its writing: the run
    // exits 6 with the reason, an old .xml stays as it was, and the journal is not retired.
    void headlessWriteFaults_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("error");
        for (const int error : {ENOSPC, EIO}) {
            const char *e = error == EIO ? "EIO" : "ENOSPC";
            for (const FileFaults::Step step :
                 {FileFaults::Step::Flush, FileFaults::Step::Sync, FileFaults::Step::Rename})
                QTest::addRow("xml step %d %s", int(step), e) << "f.xml" << int(step) << error;
            for (const FileFaults::Step step : {FileFaults::Step::Write, FileFaults::Step::Sync})
                QTest::addRow("text step %d %s", int(step), e) << "f.txt" << int(step) << error;
        }
    }
    void headlessWriteFaults()
    {
        QFETCH(QString, name);
        QFETCH(int, step);
        QFETCH(int, error);
        const QString saved = qEnvironmentVariable("XDG_STATE_HOME");
        const QString state = dir.filePath("faults-state");
        QDir(state).removeRecursively();
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
        Headless::Options o;
        o.Interval = 0;
        o.Limit = 5;
        o.Output = dir.filePath(name);
        o.IfExists = Headless::Existing::Overwrite; // the old packet is to be replaced
        QFile::remove(o.Output);
        if (name.endsWith(".xml")) {
            QFile f(o.Output);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old packet");
        }
        FileFaults::install([&](FileFaults::Step s, const QString &path) {
            return path == o.Output && int(s) == step ? error : 0;
        });
        {
            Run r(dir, o);
            r.run->start();
            QVERIFY(waitUntil([&] { return r.status >= 0; }, 20000));
            FileFaults::install({});
            QCOMPARE(r.status, int(Headless::WriteFailed));
            QVERIFY2(r.errors().contains(QString::fromLocal8Bit(std::strerror(error))),
                     qPrintable(r.errors()));
            QVERIFY2(r.errors().contains(r.run->journalPath()), qPrintable(r.errors()));
            if (name.endsWith(".xml"))
                QCOMPARE(read(o.Output), QByteArray("old packet"));
        }
        QVERIFY(QFile::exists(state + "/tx9-logger/journal.txt"));
        QVERIFY(!QFile::exists(state + "/tx9-logger/last-session.txt"));
        qputenv("XDG_STATE_HOME", QFile::encodeName(saved));
    }

    // A download the cable leaves in the middle is never fetched again (the instrument would
    // start over from its first reading and every row would be stored twice): the run ends
    // with status 8 and keeps what came.
    void interruptedDownloadIsNotFetchedAgain()
    {
        QList<SimulatedThermometer::Stored> memory;
        for (int i = 0; i < 80; ++i)
            memory.append({"1", QStringLiteral("%1").arg(100 + i, 4, 10, QChar('0'))});
        Headless::Options o;
        o.Download = true;
        o.Output = dir.filePath("interrupted.txt");
        Run r(dir, o);
        r.meter->setMemory(memory);
        r.run->start();
        QVERIFY(waitUntil([&] { return r.run->table().count() >= 15; }, 20000));
        r.bus.unplug(r.cable);
        const int again = r.bus.plug(SimulatedThermometer::cableInterface(), r.meter);
        QVERIFY(waitUntil([&] { return r.status >= 0; }, 20000));
        QTest::qWait(700); // a reconnect would have come by now
        QCOMPARE(r.status, int(Headless::DownloadInterrupted));
        QVERIFY2(r.errors().contains("The download was interrupted (the cable was unplugged)"),
                 qPrintable(r.errors()));
        QCOMPARE(r.meter->commands().count(7), 1);
        const QStringList lines = rows(read(o.Output));
        QCOMPARE(lines.size(), int(r.run->table().count()));
        QVERIFY(lines.size() < 80);
        const QList<int> n = numbers(lines);
        for (int i = 1; i < n.size(); ++i)
            QVERIFY(n[i] > n[i - 1]); // no reading twice
        QVERIFY(r.bus.outputs(again).isEmpty());
    }

    // The list is rebuilt while logging and finds the cable again without read/write access:
    // the run says so instead of sitting idle, and logs again once the cable can be opened.
    void cableBackWithoutAccessIsSaid()
    {
        Headless::Options o;
        o.Interval = 0;
        Run r(dir, o);
        r.run->start();
        QVERIFY(waitUntil([&] { return r.run->table().count() >= 2; }, 20000));
        r.bus.update(r.cable, [](VirtualInterface &v) { v.QueryOnly = true; });
        VirtualInterface other;
        other.InstanceId = "mouse";
        other.Product = "Mouse";
        const int mouse = r.bus.plug(other); // any change rebuilds the list
        QVERIFY(waitUntil([&] { return r.errors().contains("cannot be opened"); }, 10000));
        QVERIFY(r.errors().contains("The connection to the cable was lost"));
        r.bus.update(r.cable, [](VirtualInterface &v) { v.QueryOnly = false; });
        r.bus.unplug(mouse);
        const qint64 rowsThen = r.run->table().count();
        QVERIFY(waitUntil([&] { return r.run->table().count() > rowsThen + 2; }, 20000));
        QVERIFY(r.run->running());
        r.run->stop();
        QCOMPARE(r.status, int(Headless::Ok));
    }

    // A meter that stays silent (switched off when the run began) trips the watchdog: the
    // run warns, keeps going, and sends the baud rate and the start command again, so a meter
    // switched on later starts sending.
    void silentMeterIsAskedAgain()
    {
        struct Silent : VirtualHidModel
        {
            std::mutex mutex;
            QList<quint8> commands;
            void outputReport(const QByteArray &report) override
            {
                const std::lock_guard<std::mutex> lock(mutex);
                commands << quint8(report.at(2));
            }
            std::optional<std::pair<qint64, QByteArray>> next() override
            {
                QByteArray idle(11, '\0');
                idle[1] = char(0xF0);
                return std::make_pair(qint64(500), idle);
            }
            int starts()
            {
                const std::lock_guard<std::mutex> lock(mutex);
                return int(commands.count(90));
            }
        };
        auto silent = std::make_shared<Silent>();
        Headless::Options o;
        o.Interval = 0;
        Run r(dir, o, false);
        r.cable = r.bus.plug(SimulatedThermometer::cableInterface(), silent);
        r.run->start();
        QVERIFY(r.run->running());
        const int first = silent->starts(); // the start report and the start command
        QVERIFY(first >= 1);
        QVERIFY(waitUntil([&] { return r.errors().contains("sent nothing"); }, 20000));
        QVERIFY(waitUntil([&] { return silent->starts() > first; }, 2000));
        QVERIFY(r.run->running());
        r.run->stop();
        QCOMPARE(r.status, int(Headless::Ok));
    }

    // What cannot start says why, with its own exit status.
    void whatCannotStartHasItsStatus()
    {
        {
            Run r(dir, {}, false);
            r.run->start();
            QCOMPARE(r.status, int(Headless::NoCable));
            QVERIFY(r.errors().contains("No \"USB to Serial\" cable found"));
        }
        {
            Headless::Options o;
            o.Device = "2";
            Run r(dir, o);
            r.run->start();
            QCOMPARE(r.status, int(Headless::NoCable));
        }
        {
            VirtualInterface denied = SimulatedThermometer::cableInterface();
            denied.QueryOnly = true;
            Run r(dir, {}, true, denied);
            r.run->start();
            QCOMPARE(r.status, int(Headless::NoPermission));
            QVERIFY(r.errors().contains("udev rule"));
            QVERIFY(r.meter->commands().isEmpty());
        }
        {
            Headless::Options o;
            o.Output = dir.filePath("no/such/folder/x.xml");
            Run r(dir, o);
            r.run->start();
            QCOMPARE(r.status, int(Headless::NotWritable));
            QVERIFY(r.meter->commands().isEmpty());
        }
        {
            Headless::Options o;
            o.List = true;
            o.Device = "/sim/hidraw-usb-serial";
            Run r(dir, o);
            r.run->start();
            QCOMPARE(r.status, int(Headless::Ok));
            QCOMPARE(r.stdoutLines(), QStringList());
            QVERIFY(QString::fromUtf8(read(r.outPath)).startsWith("*  1  /sim/hidraw-usb-serial"));
        }
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::newRow("plain") << QStringList{} << int(Headless::Ok);
        QTest::newRow("all") << QStringList{"-o",         "f.xml",      "--stdout",    "--download",
                                            "--interval", "0",          "--no-repeat", "--limit",
                                            "5",          "--duration", "1.5",         "--device",
                                            "2",          "-q"}
                             << int(Headless::Ok);
        QTest::newRow("interval") << QStringList{"--interval", "x"} << int(Headless::Usage);
        QTest::newRow("negative") << QStringList{"--interval", "-1"} << int(Headless::Usage);
        QTest::newRow("limit 0") << QStringList{"--limit", "0"} << int(Headless::Usage);
        QTest::newRow("duration") << QStringList{"--duration", "0"} << int(Headless::Usage);
        QTest::newRow("unknown") << QStringList{"--colour"} << int(Headless::Usage);
        QTest::newRow("stray") << QStringList{"file.txt"} << int(Headless::Usage);
        QTest::newRow("help") << QStringList{"--help"} << int(Headless::Ok);
        QTest::newRow("broker alarm") << QStringList{"--broker-alarm", "30"} << int(Headless::Ok);
        QTest::newRow("broker alarm 0")
            << QStringList{"--broker-alarm", "0"} << int(Headless::Usage);
        QTest::newRow("activation")
            << QStringList{"--activation-energy", "95.5"} << int(Headless::Ok);
        QTest::newRow("activation x")
            << QStringList{"--activation-energy", "x"} << int(Headless::Usage);
        QTest::newRow("on-alarm alone") << QStringList{"--on-alarm", "true"} << int(Headless::Ok);
        QTest::newRow("sign without report")
            << QStringList{"--sign-as", "Ann", "--meaning", "reviewed"} << int(Headless::Usage);
        QTest::newRow("signed report")
            << QStringList{"--report",  "r.pdf",       "--sign-as", "Ann",
                           "--meaning", "responsible", "--comment", "ok"}
            << int(Headless::Ok);
    }
    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        const Headless::Parsed p = Headless::parse(QStringList{"tx9-logger", "--headless"} + args);
        QCOMPARE(p.status, status);
        QCOMPARE(bool(p.options), status == Headless::Ok && !args.contains("--help"));
        if (p.options) {
            if (args.contains("--activation-energy"))
                QCOMPARE(p.options->Outputs.ActivationKJ, 95.5);
            if (args.contains("--broker-alarm"))
                QCOMPARE(p.options->Outputs.BrokerAlarmSeconds, 30.0);
            if (args.contains("--sign-as"))
                QCOMPARE(p.options->Signed->Meaning, QStringLiteral("responsible"));
            // Without a file the rows go to standard output.
            QCOMPARE(p.options->ToStdout, args.contains("--stdout") || !args.contains("-o"));
        }
    }

    // The real command: SIGTERM in the middle leaves a complete file that loads, text and
    // XML, and exits 0; a file that cannot be written says where the readings are.
    void signalStopsTheCommandCleanly_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("text") << "term.txt";
        QTest::newRow("xml") << "term.xml";
    }
    void signalStopsTheCommandCleanly()
    {
        QFETCH(QString, name);
        const QString file = dir.filePath(name);
        QProcess p;
        p.start(TX9_DEMO, {"--headless", "--interval", "0", "-o", file, "--stdout"});
        QVERIFY(p.waitForStarted());
        QByteArray out;
        QVERIFY(waitUntil(
            [&] {
                out += p.readAllStandardOutput();
                return out.count('\n') > 0 || p.state() != QProcess::Running;
            },
            20000));
        QTest::qWait(1500);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        MeasurementTable back;
        QCOMPARE(DataFiles::loadTable(file, back, true), DataFiles::LoadStatus::Ok);
        QVERIFY(back.count() >= 3);
        QCOMPARE(back.no(back.count() - 1), std::optional<qint32>(qint32(back.count())));
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("Stopped after"));
    }

    // The file size limit of `ulimit -f` strikes the data file and the journal like a full
    // disk: status 6, the reason, and a count of what the file really holds.
    void fileSizeLimitIsReportedTruly()
    {
        const QString file = dir.filePath("limited.txt");
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", dir.filePath("limited-state"));
        p.setProcessEnvironment(env);
        // The shell sets the limit (one block of 512 bytes): a child modifier would make
        // QProcess fork a threaded process, which ThreadSanitizer refuses.
        p.start("/bin/sh", {"-c", "ulimit -f 1 && exec \"$0\" --headless --interval 0 -o \"$1\"",
                            TX9_DEMO, file});
        QVERIFY(p.waitForFinished(60000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), int(Headless::WriteFailed));
        QVERIFY2(err.contains("File too large"), qPrintable(err));
        const qint64 inFile = rows(read(file)).size();
        QVERIFY(inFile > 10);
        QVERIFY2(err.contains(QStringLiteral("only %1 of them are in %2").arg(inFile).arg(file)),
                 qPrintable(err));
        // The journal failed too, and the message does not send the user there.
        QVERIFY2(err.contains("could not be written either"), qPrintable(err));
    }

    // Two runs on one file: the second is refused while the first writes it, and the first
    // one's file is untouched.
    void secondRunOnTheSameFileIsRefused()
    {
        for (const char *name : {"shared.txt", "shared.xml"}) {
            const QString file = dir.filePath(name);
            QProcess first;
            first.start(TX9_DEMO, {"--headless", "--interval", "0", "-o", file, "-q"});
            QVERIFY(first.waitForStarted());
            QVERIFY(waitUntil([&] { return QFile::exists(file); }, 20000));
            QTest::qWait(1500);
            const QByteArray before = read(file);
            QProcess second;
            second.start(TX9_DEMO, {"--headless", "--interval", "0", "-o", file});
            QVERIFY(second.waitForFinished(30000));
            QCOMPARE(second.exitCode(), int(Headless::NotWritable));
            QVERIFY(QString::fromUtf8(second.readAllStandardError())
                        .contains("another run is writing it"));
            QVERIFY(read(file).startsWith(before));
            ::kill(pid_t(first.processId()), SIGHUP); // like SIGTERM: the file is completed
            QVERIFY(first.waitForFinished(10000));
            QCOMPARE(first.exitCode(), 0);
            MeasurementTable back;
            QCOMPARE(DataFiles::loadTable(file, back, true), DataFiles::LoadStatus::Ok);
            QVERIFY(back.count() >= 1);
        }
    }

    // A real small file system that fills up (a tmpfs, mounted here; CI runs as root): the
    // window's save over an old file fails and keeps it, and a headless .xml run that meets
    // the full disk at its end says why, exits 6 and leaves its journal for recovery.
    void realFullDisk()
    {
#if defined(__SANITIZE_THREAD__)
        // Run after the other cases, the demo started here dies in ThreadSanitizer's check
        // for threads started after a fork; the case runs in the normal and ASan suites.
        QSKIP("not under ThreadSanitizer");
#endif
        const SmallDisk disk(dir.filePath("small-disk"), "256k");
        if (!disk.Why.isEmpty())
            QSKIP(qPrintable(disk.Why + ": the full-disk case needs it"));
        const QString mnt = disk.At;
        const QString filler = mnt + "/filler";
        auto fill = [&](qint64 leave) {
            QFile f(filler);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
            const QByteArray block(4096, 'f');
            while (f.write(block) == block.size()) {
            }
            f.close();
            QVERIFY(QFile::resize(filler, qMax<qint64>(0, QFileInfo(filler).size() - leave)));
        };
        // The window: 600 rows (about 12 KB) over an old file, 4 KB left.
        const QString old = mnt + "/table.txt";
        {
            QFile f(old);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old rows\r\n");
        }
        fill(4096);
        {
            ScriptedPrompts prompts;
            TFCOMM w;
            for (int i = 1; i <= 600; ++i)
                w.cds1->appendRow({i, "10:00:00", " 20.0", "#"});
            for (const QString &name : {old, mnt + "/table.xml"}) {
                prompts.fileAnswers.enqueue(name);
                w.saveasClick();
                QVERIFY2(!prompts.messages.last().text.contains("Scuss!"),
                         qPrintable(prompts.messages.last().text));
            }
            QCOMPARE(read(old), QByteArray("old rows\r\n"));
            QVERIFY(!QFile::exists(mnt + "/table.xml"));
        }
        // Headless: the disk fills while the run goes on; the packet cannot be written.
        QFile::remove(filler);
        const QString state = dir.filePath("full-disk-state");
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state);
        p.setProcessEnvironment(env);
        const QString xml = mnt + "/x.xml";
        p.start(TX9_DEMO, {"--headless", "--interval", "0", "-o", xml});
        QVERIFY(p.waitForStarted());
        QVERIFY(waitUntil(
            [&] {
                return QFile::exists(state + "/tx9-logger/journal.txt") &&
                       read(state + "/tx9-logger/journal.txt").count('\n') > 6;
            },
            20000));
        fill(0);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(20000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), int(Headless::WriteFailed));
        QVERIFY2(err.contains("No space left on device") &&
                     err.contains(state + "/tx9-logger/journal.txt"),
                 qPrintable(err));
        QVERIFY(!QFile::exists(xml));
        QVERIFY(QFile::exists(state + "/tx9-logger/journal.txt"));
        QVERIFY(!QFile::exists(state + "/tx9-logger/last-session.txt"));
    }

    void commandExitStatuses()
    {
        auto runDemo = [](const QStringList &args, QString *err = nullptr) {
            QProcess p;
            p.start(TX9_DEMO, QStringList{"--headless"} + args);
            if (!p.waitForFinished(30000))
                return -1;
            if (err)
                *err = QString::fromUtf8(p.readAllStandardError());
            return p.exitCode();
        };
        QString err;
        QCOMPARE(runDemo({"--limit", "nine"}, &err), int(Headless::Usage));
        QVERIFY(err.contains("--help"));
        QCOMPARE(runDemo({"--device", "/dev/hidraw99"}), int(Headless::NoCable));
        QCOMPARE(runDemo({"-o", dir.filePath("none/x.txt")}), int(Headless::NotWritable));
        // Anything but a regular file is refused at once: a device, a FIFO (whose open would
        // wait for a reader, deaf to signals).
        const QString fifo = dir.filePath("fifo.txt");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo), 0600), 0);
        for (const QString &odd : {QStringLiteral("/dev/full"), fifo}) {
            QCOMPARE(runDemo({"-o", odd, "--interval", "0"}, &err), int(Headless::NotWritable));
            QVERIFY2(err.contains("not a regular file"), qPrintable(err));
        }
        // A read-only packet says why.
        const QString ro = dir.filePath("ro.xml");
        QVERIFY(QFile(ro).open(QIODevice::WriteOnly));
        QVERIFY(QFile::setPermissions(ro, QFile::ReadOwner));
        if (::geteuid() != 0) { // root may write it all the same
            QCOMPARE(runDemo({"-o", ro}, &err), int(Headless::NotWritable));
            QVERIFY2(err.contains("Permission denied"), qPrintable(err));
        }
        // The demo's own options walk the paths of a real cable: a download whose cable is
        // pulled and plugged back ends with status 8; another device coming and going does
        // not disturb a live run.
        QCOMPARE(runDemo({"--download", "--stored", "3000", "--unplug-after", "1", "--replug-after",
                          "1.5", "-q"},
                         &err),
                 int(Headless::DownloadInterrupted));
        QVERIFY2(err.contains("The download was interrupted"), qPrintable(err));
        QCOMPARE(
            runDemo({"--interval", "0", "--duration", "2.5", "--plug-other-after", "0.5", "-q"},
                    &err),
            int(Headless::Ok));
        QCOMPARE(err, QString());
        // A cable named with --cable comes back as itself (its path and serial number): the
        // run that follows it goes on logging.
        QCOMPARE(runDemo({"--interval", "0", "--duration", "4", "--cable", "/dev/hidraw7,SER42,1-2",
                          "--unplug-after", "1", "--replug-after", "2"},
                         &err),
                 int(Headless::Ok));
        QVERIFY2(err.contains("The cable is back; logging goes on."), qPrintable(err));
        // Done when the limit is reached; --quiet says nothing.
        QCOMPARE(runDemo({"--limit", "3", "--interval", "0", "-q"}, &err), int(Headless::Ok));
        QCOMPARE(err, QString());
        QProcess help;
        help.start(TX9_DEMO, {"--help"});
        QVERIFY(help.waitForFinished(10000));
        QCOMPARE(help.exitCode(), 0);
        const QString text = QString::fromUtf8(help.readAllStandardOutput());
        for (const char *option :
             {"--output", "--stdout", "--download", "--interval", "--no-repeat", "--limit",
              "--duration", "--device", "--list", "--quiet", "--version", "Exit status",
              "--screenshot", "--seconds", "--unplug-after", "--connect"})
            QVERIFY2(text.contains(QLatin1String(option)), option);
        // Before any window, with no display at all: the version, and an unknown option.
        QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
        bare.remove("DISPLAY");
        bare.remove("WAYLAND_DISPLAY");
        bare.remove("QT_QPA_PLATFORM");
        for (const QStringList &args : {QStringList{"--version"}, QStringList{"--bogus"},
                                        QStringList{"-platform"}, QStringList{}}) {
            QProcess p;
            p.setProcessEnvironment(bare);
            p.start(TX9_DEMO, args);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            const QString out = QString::fromUtf8(p.readAllStandardOutput());
            const QString errText = QString::fromUtf8(p.readAllStandardError());
            if (!args.isEmpty() && args[0] == "--version") {
                QCOMPARE(p.exitCode(), 0);
                QVERIFY2(QRegularExpression("^tx9-logger-demo \\d+\\.\\d+\\.\\d+\n$")
                             .match(out)
                             .hasMatch(),
                         qPrintable(out));
            } else if (args.isEmpty()) {
                QCOMPARE(p.exitCode(), int(Headless::Failure));
                QVERIFY2(errText.contains("no display") && errText.contains("--headless"),
                         qPrintable(errText));
            } else {
                QCOMPARE(p.exitCode(), int(Headless::Usage));
                QVERIFY2(errText.contains(args[0] == "--bogus" ? "unknown option '--bogus'"
                                                               : "needs a value"),
                         qPrintable(errText));
            }
        }
    }
};

QTEST_MAIN(tst_Headless)
#include "tst_Headless.moc"
