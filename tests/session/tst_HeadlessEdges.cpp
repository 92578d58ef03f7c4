#include "common/Wait.h"
#include "headless/Headless.h"
#include "outputs/AlarmCommands.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cctype>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

// The headless logger where its promises meet the world: the alarm command under a service
// (whatever standard error is), clocks that are set during a run, files that already exist,
// and the command line a new user meets. The real program (the demo build) is run.
class tst_HeadlessEdges : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int runs = 0;

    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    struct Demo
    {
        int status = -1;
        QString err; // when standard error was a pipe to the test
    };
    // Runs the demo headless in a folder of its own (journals, outbox); setup runs in the child
    // before the program (descriptors as a service would give them); env is added.
    Demo demo(const QStringList &args, std::function<void()> setup = {},
              const QStringList &env = {}, int timeoutMs = 60000)
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_STATE_HOME", dir.filePath(QStringLiteral("state-%1").arg(++runs)));
        for (const QString &kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        p.setProcessEnvironment(e);
        p.setWorkingDirectory(dir.path());
        if (setup)
            p.setChildProcessModifier(setup);
        p.start(TX9_DEMO, QStringList{"--headless"} + args);
        Demo d;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return d;
        }
        d.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        d.err = QString::fromUtf8(p.readAllStandardError());
        return d;
    }

    // The capture times of a CSV data file, in ms since the epoch.
    static QList<qint64> captureTimes(const QString &csv)
    {
        QList<qint64> times;
        const QList<QByteArray> lines = read(csv).split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> f = lines[i].trimmed().split(',');
            if (f.size() >= 2)
                times << QDateTime::fromString(QString::fromLatin1(f[1]), Qt::ISODateWithMs)
                             .toMSecsSinceEpoch();
        }
        return times;
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // Wherever standard error goes (the journal's socket, nowhere, a file, a pipe nobody
    // reads), the command runs, its output never lands in the data and never stops logging.
    void alarmCommandWhereverStandardErrorGoes_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("a socket") << "socket";
        QTest::newRow("closed") << "closed";
        QTest::newRow("a file") << "file";
        QTest::newRow("a pipe nobody reads, a command that floods") << "stalled";
        QTest::newRow("a command that hangs") << "hang";
    }
    void alarmCommandWhereverStandardErrorGoes()
    {
        QFETCH(QString, where);
        const QString base = dir.filePath("cmd-" + where);
        const QString csv = base + ".csv", marker = base + ".marker", errFile = base + ".err";
        int sv[2] = {-1, -1};
        if (where == "socket")
            QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        else if (where == "stalled")
            QCOMPARE(::pipe2(sv, O_CLOEXEC), 0);
        const int fileFd = where == "file" ? ::open(QFile::encodeName(errFile),
                                                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                                           : -1;
        const int child = where == "socket" ? sv[1] : where == "stalled" ? sv[1] : fileFd;
        // The flood: 20 MB at the first alarm, more than any pipe or socket holds.
        const QString command =
            where == "stalled"
                ? QStringLiteral("echo $TX9_STATE >> %1; head -c 20000000 /dev/zero | tr '\\0' x")
                      .arg(marker)
            : where == "hang"
                ? QStringLiteral("echo $TX9_STATE >> %1; exec sleep 1000").arg(marker)
                : QStringLiteral("echo $TX9_STATE >> %1; echo COMMAND-SAYS-$TX9_STATE").arg(marker);
        const Demo d = demo({"--interval", "0", "--limit", "18", "--high", "0", "-o", csv,
                             "--format", "csv", "--on-alarm", command},
                            [where, child] {
                                if (where == "hang")
                                    return;
                                if (where == "closed") {
                                    ::close(0);
                                    ::close(2);
                                } else {
                                    ::dup2(child, 2);
                                }
                            });
        QCOMPARE(d.status, 0);
        QByteArray err;
        if (sv[0] >= 0) {
            ::close(sv[1]);
            ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
            char buf[65536];
            ssize_t n;
            while ((n = ::read(sv[0], buf, sizeof buf)) > 0)
                err.append(buf, n);
            ::close(sv[0]);
        }
        if (fileFd >= 0) {
            ::close(fileFd);
            err = read(errFile);
        }
        // The command ran twice: the alarm started, and was still on when the run stopped,
        // which ended it.
        QTRY_COMPARE(read(marker), QByteArray("start\nend\n"));
        const QList<qint64> times = captureTimes(csv);
        QCOMPARE(times.size(), 18);
        // No row waited for standard error: the meter's pace (about 0.4 s) holds throughout.
        for (qsizetype i = 1; i < times.size(); ++i)
            QVERIFY2(times[i] - times[i - 1] < 2500,
                     qPrintable(QStringLiteral("rows %1 and %2: %3 ms apart")
                                    .arg(i)
                                    .arg(i + 1)
                                    .arg(times[i] - times[i - 1])));
        QVERIFY(!read(csv).contains("COMMAND") && !read(csv).contains("Logging"));
        if (where == "socket" || where == "file") {
            // The command's line and the logger's, none written over the other.
            QVERIFY2(err.contains("COMMAND-SAYS-start\n") && err.contains("Alarm high started") &&
                         err.contains("Stopped after 18 readings"),
                     err.constData());
        }
        if (where == "stalled")
            QVERIFY2(err.startsWith("Logging from"), err.left(200).constData());
        if (where == "hang")
            QVERIFY2(d.err.contains("The --on-alarm command for the alarm high start is still "
                                    "running at the end and is ended."),
                     qPrintable(d.err));
    }

    // At most four commands at once, the events beyond in their order; a command past its
    // time is ended with what it started; at the end of the run, what cannot run is said.
    void alarmCommandsAreBounded()
    {
        const QString order = dir.filePath("order.txt"), pids = dir.filePath("pids.txt");
        AlarmCommands commands(
            QStringLiteral("echo $N >> %1; sleep 30 & echo $! >> %2; wait").arg(order, pids), 400);
        QStringList said;
        QByteArray output;
        connect(&commands, &AlarmCommands::said, this, [&](const QString &s) { said << s; });
        connect(&commands, &AlarmCommands::output, this, [&](const QByteArray &b) { output += b; });
        for (int i = 1; i <= 6; ++i) {
            QProcessEnvironment env;
            env.insert("N", QString::number(i));
            commands.run(QStringLiteral("high %1").arg(i), env);
        }
        QCOMPARE(commands.running(), AlarmCommands::MaxRunning);
        QCOMPARE(commands.waiting(), 2);
        QVERIFY(waitUntil([&] { return commands.running() == 0; }, 20000));
        // The first four at once, the two that waited after them; none lost.
        QList<QByteArray> ran = read(order).split('\n');
        QCOMPARE(ran.size(), 7);
        std::sort(ran.begin(), ran.begin() + 4);
        std::sort(ran.begin() + 4, ran.begin() + 6);
        QCOMPARE(ran.join(' '), QByteArray("1 2 3 4 5 6 "));
        QCOMPARE(said.filter(QRegularExpression("^The --on-alarm command for the alarm high \\d "
                                                "ran for 0.4 s and is ended\\.$"))
                     .size(),
                 6);
        // What the commands started ended with them.
        for (const QByteArray &pid : read(pids).split('\n')) {
            if (pid.isEmpty())
                continue;
            const auto gone = [&] {
                const QByteArray stat = read("/proc/" + pid + "/stat");
                return stat.isEmpty() || stat.contains(") Z ");
            };
            QVERIFY2(waitUntil(gone, 5000), pid.constData());
        }
        // The end of the run: a command still going and events still waiting are said.
        said.clear();
        AlarmCommands slow(QStringLiteral("sleep 30"), 60000);
        connect(&slow, &AlarmCommands::said, this, [&](const QString &s) { said << s; });
        for (int i = 0; i < 6; ++i)
            slow.run(QStringLiteral("low end"), {});
        bool done = false;
        slow.finishThen(300, [&] { done = true; });
        QVERIFY(waitUntil([&] { return done; }, 10000));
        QCOMPARE(slow.running(), 0);
        QVERIFY2(said.contains("2 alarm events were not given to the --on-alarm command: the run "
                               "ended before it was their turn."),
                 qPrintable(said.join('\n')));
        QCOMPARE(said.filter("is still running at the end and is ended").size(), 4);
    }

    // The wall clock set an hour back or forward during a run: the hold time and the durations
    // are those that passed, the times written are the clock's.
    void clockSetDuringARun_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("hold");
        QTest::addColumn<bool>("alarm");
        QTest::newRow("back during the hold") << "-3600"
                                              << "2" << true;
        QTest::newRow("forward during the hold") << "+3600"
                                                 << "30" << false;
    }
    void clockSetDuringARun()
    {
        QFETCH(QString, step);
        QFETCH(QString, hold);
        QFETCH(bool, alarm);
        const QString lib = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
        if (!QFile::exists(lib))
            QSKIP("libfaketime is not installed (the faketime package)");
        const QString clock = dir.filePath("clock" + step),
                      csv = dir.filePath("clock" + step + ".csv");
        const QString summary = dir.filePath("clock" + step + ".summary");
        QFile f(clock);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("+0\n") > 0);
        f.close();
        // The clock is set once the first rows are in.
        QTimer::singleShot(1200, this, [clock, step] {
            QFile g(clock);
            if (g.open(QIODevice::WriteOnly))
                g.write(step.toLatin1() + '\n');
        });
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_STATE_HOME", dir.filePath("state-clock" + step));
        e.insert("LD_PRELOAD", lib);
        e.insert("FAKETIME_TIMESTAMP_FILE", clock);
        e.insert("FAKETIME_NO_CACHE", "1");
        e.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        // A sanitized build wants its runtime first; the preloaded clock comes before it.
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        p.setProcessEnvironment(e);
        p.start(TX9_DEMO, {"--headless", "--interval", "0", "--duration", "5", "--high", "0",
                           "--hold", hold, "-o", csv, "--format", "csv", "--summary", summary});
        QVERIFY(p.waitForStarted());
        QVERIFY(waitUntil([&] { return p.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(p.exitCode(), 0);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        // The clock did step: the capture times jump by about an hour.
        const QList<qint64> times = captureTimes(csv);
        QVERIFY(times.size() > 5);
        qint64 jump = 0;
        for (qsizetype i = 1; i < times.size(); ++i)
            if (qAbs(times[i] - times[i - 1]) > qAbs(jump))
                jump = times[i] - times[i - 1];
        QVERIFY2(qAbs(qAbs(jump) - 3600000) < 5000, qPrintable(QString::number(jump)));
        QCOMPARE(err.contains("Alarm high started"), alarm);
        // The clock set is an alarm of its own, whatever the limits' alarms did.
        QVERIFY2(err.contains("Alarm clock set started"), qPrintable(err));
        QVERIFY(
            read(QFileInfo(csv).path() + "/" + QFileInfo(csv).completeBaseName() + "-alarms.txt")
                .contains("\tclock set\t"));
        // The audit trail says so, from the time the clock would have given to the one it did.
        QList<QByteArray> set;
        for (const QByteArray &line : read(csv + ".trail").split('\n'))
            if (line.contains("\twall clock set\t"))
                set << line;
        QCOMPARE(set.size(), 1);
        const QList<QByteArray> entry = set[0].split('\t');
        auto ms = [](const QByteArray &t) {
            return QDateTime::fromString(QString::fromUtf8(t), Qt::ISODate).toMSecsSinceEpoch();
        };
        QVERIFY2(qAbs(ms(entry[7]) - ms(entry[6]) - jump) < 5000, set[0].constData());
        const QString text = QString::fromUtf8(read(summary));
        // Five seconds of readings: the time covered and the time above are near that, never
        // an hour (nor nothing).
        const QRegularExpressionMatch covered =
            QRegularExpression("\\((\\d+\\.\\d) s later\\)").match(text);
        const QRegularExpressionMatch above =
            QRegularExpression("Above 0 \u00B0C: (\\d+\\.\\d) s").match(text);
        QVERIFY2(covered.hasMatch() && above.hasMatch(), qPrintable(text));
        for (const QRegularExpressionMatch &m : {covered, above}) {
            const double s = m.captured(1).toDouble();
            QVERIFY2(s > 3 && s < 6, qPrintable(text));
        }
        if (alarm) {
            // Raised after the hold that really passed, the start being the breach's.
            const QRegularExpressionMatch raised =
                QRegularExpression("raised at \\S+, after (\\d+\\.\\d) s").match(err);
            QVERIFY2(raised.hasMatch(), qPrintable(err));
            QVERIFY(raised.captured(1).toDouble() >= 2 && raised.captured(1).toDouble() < 3);
        }
    }
    // A data file that already holds something is never written over unasked: refused, or
    // replaced with --overwrite, or gone on with --append (its header must be this run's).
    void existingDataFile_data()
    {
        QTest::addColumn<QString>("name");   // the file, made by a first run of 4 readings
        QTest::addColumn<QString>("change"); // done to it before the second run
        QTest::addColumn<QString>("flag");   // of the second run
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");    // in its standard error
        QTest::addColumn<QString>("numbers"); // the rows' No in the file afterwards
        const int refused = Headless::NotWritable;
        QTest::newRow("text refused") << "a.txt"
                                      << ""
                                      << "" << refused << "already exists"
                                      << "1 2 3 4";
        QTest::newRow("text replaced") << "b.txt"
                                       << ""
                                       << "--overwrite" << 0 << ""
                                       << "1 2 3";
        QTest::newRow("text appended") << "c.txt"
                                       << ""
                                       << "--append" << 0 << "Appending to "
                                       << "1 2 3 4 5 6 7";
        QTest::newRow("text with a torn last line") << "d.txt"
                                                    << "torn"
                                                    << "--append" << 0 << "was not whole (9 bytes"
                                                    << "1 2 3 4 5 6 7";
        QTest::newRow("text of another day") << "e.txt"
                                             << "otherday"
                                             << "--append" << refused << "another day"
                                             << "1 2 3 4";
        QTest::newRow("csv appended, torn") << "f.csv"
                                            << "torn"
                                            << "--append" << 0 << "was not whole"
                                            << "1 2 3 4 5 6 7";
        // A torn tail longer than any block read at once: the whole of it is cut off, and
        // numbering goes on after the last whole row, however far back that is.
        QTest::newRow("text with 100 KB of junk after its rows")
            << "k.txt"
            << "junk"
            << "--append" << 0 << "was not whole (100000 bytes"
            << "1 2 3 4 5 6 7";
        QTest::newRow("csv with 1 MiB of zeros after its rows")
            << "l.csv"
            << "zeros"
            << "--append" << 0 << "was not whole (1048576 bytes"
            << "1 2 3 4 5 6 7";
        QTest::newRow("last No at the top") << "m.txt"
                                            << "lastno 2147483647"
                                            << "--append" << refused << "would pass the largest No"
                                            << "1 2 3 2147483647";
        QTest::newRow("last No negative") << "n.csv"
                                          << "lastno -5"
                                          << "--append" << refused << "numbers begin at 1"
                                          << "1 2 3 -5";
        QTest::newRow("csv of the old header")
            << "g.csv"
            << "oldheader"
            << "--append" << refused
            << "does not begin with the header this run writes (no,time,value,unit,display)"
            << "1 2 3 4";
        QTest::newRow("packet refused") << "h.xml"
                                        << ""
                                        << "" << refused << "--overwrite replaces it"
                                        << "";
        QTest::newRow("packet not appended") << "i.xml"
                                             << ""
                                             << "--append" << refused << "cannot be appended to"
                                             << "";
        QTest::newRow("packet replaced") << "j.xml"
                                         << ""
                                         << "--overwrite" << 0 << ""
                                         << "";
    }
    void existingDataFile()
    {
        QFETCH(QString, name);
        QFETCH(QString, change);
        QFETCH(QString, flag);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(QString, numbers);
        const QString path = dir.filePath(name);
        const QStringList format =
            name.endsWith(".csv") ? QStringList{"--format", "csv"} : QStringList{};
        // One machine: both runs have its key (a file signed by a key not trusted here is
        // not gone on with).
        const QStringList machine{"XDG_STATE_HOME=" + dir.filePath("state-" + name)};
        QCOMPARE(demo(QStringList{"--interval", "0", "--limit", "4", "-q", "-o", path} + format, {},
                      machine)
                     .status,
                 0);
        QByteArray bytes = read(path);
        if (change == "torn")
            bytes += name.endsWith(".csv") ? "5,2026-12" : "5\t14:03:0";
        else if (change == "otherday")
            bytes.replace(0, bytes.indexOf('\r'), "Report created on: 31 December 2001");
        else if (change == "junk")
            bytes += QByteArray(100000, 'x');
        else if (change == "zeros")
            bytes += QByteArray(1 << 20, '\0');
        else if (change.startsWith("lastno ")) {
            const qsizetype last = bytes.lastIndexOf('\n', bytes.size() - 2) + 1;
            const qsizetype sep = bytes.indexOf(name.endsWith(".csv") ? ',' : '\t', last);
            bytes.replace(last, sep - last, change.mid(7).toLatin1());
        } else if (change == "oldheader")
            bytes.replace("no,time,value,unit,display", "no,time,value,unit");
        if (!change.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        }
        QStringList args{"--interval", "0", "--limit", "3", "-o", path};
        if (!flag.isEmpty())
            args << flag;
        const Demo d = demo(args + format, {}, machine);
        QCOMPARE(d.status, status);
        if (!said.isEmpty())
            QVERIFY2(d.err.contains(said), qPrintable(d.err));
        if (status != 0)
            QCOMPARE(read(path), bytes); // left as it was
        if (name.endsWith(".xml")) {
            if (status == 0)
                QVERIFY(read(path).count("<ROW ") == 3);
            return;
        }
        // The rows' numbers, one header, whole lines.
        const QList<QByteArray> lines = read(path).split('\n');
        QCOMPARE(lines.last(), QByteArray());
        QStringList nos;
        for (const QByteArray &line : lines) {
            const QByteArray first = line.split(name.endsWith(".csv") ? ',' : '\t').first();
            if (!first.isEmpty() && (std::isdigit(uchar(first[0])) || first[0] == '-'))
                nos << QString::fromLatin1(first);
        }
        QCOMPARE(nos.join(' '), numbers);
        QCOMPARE(read(path).count(name.endsWith(".csv") ? "no,time" : "No\tTime"), 1);
    }

    // --wait: started before the cable, the run logs once it is plugged in; without it the
    // run ends with status 3.
    void waitForTheCable()
    {
        const QString out = dir.filePath("waited.txt");
        Demo d =
            demo({"--wait", "--plug-after", "1.5", "--interval", "0", "--limit", "3", "-o", out});
        QCOMPARE(d.status, 0);
        QVERIFY2(d.err.indexOf("waiting for one to be plugged in") >= 0 &&
                     d.err.indexOf("waiting for one") < d.err.indexOf("Logging from"),
                 qPrintable(d.err));
        QCOMPARE(read(out).count('\n'), 3 + 3);
        d = demo({"--plug-after", "1.5", "--interval", "0", "--limit", "3"});
        QCOMPARE(d.status, int(Headless::NoCable));
    }

    // What a new user types wrong is said as typed, with the way out.
    void commandLineSaysWhy_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        const int usage = Headless::Usage;
        QTest::newRow("unknown") << QStringList{"--headless", "--frobnicate"} << usage
                                 << "unknown option '--frobnicate'";
        QTest::newRow("unknown short")
            << QStringList{"--headless", "-z"} << usage << "unknown option '-z'";
        QTest::newRow("headless option without --headless")
            << QStringList{"--format", "csv"} << usage << "'--format' is an option of --headless";
        QTest::newRow("csv into .xml")
            << QStringList{"--headless", "-o", "x.xml", "--format", "csv"} << usage
            << "--format csv would write CSV into x.xml";
        QTest::newRow("append without a file") << QStringList{"--headless", "--append"} << usage
                                               << "--append is for the file of --output";
        QTest::newRow("append and overwrite")
            << QStringList{"--headless", "-o", "y.txt", "--append", "--overwrite"} << usage
            << "cannot both be given";
        // No output swallows another, however the two names are spelt.
        QTest::newRow("report over the data file")
            << QStringList{"--headless", "-o", "r.txt", "--report", "r.txt"} << usage
            << "--output r.txt and --report r.txt are the same file";
        QTest::newRow("summary over the data file, spelt otherwise")
            << QStringList{"--headless", "-o", "r.txt", "--summary", "./sub/../r.txt"} << usage
            << "--output r.txt and --summary ./sub/../r.txt are the same file";
        QTest::newRow("latest over the report")
            << QStringList{"--headless", "--latest", "l.json", "--report", "l.json"} << usage
            << "--report l.json and --latest l.json are the same file";
        QTest::newRow("summary over the alarm log")
            << QStringList{"--headless", "-o", "k.txt", "--high", "30", "--summary", "k-alarms.txt"}
            << usage << "the alarm log";
        QTest::newRow("report over an existing recording")
            << QStringList{"--headless", "--report", "kept.txt", "--limit", "1"}
            << int(Headless::NotWritable) << "is not a PDF; --overwrite replaces it";
        QTest::newRow("alarm numbers") << QStringList{"--headless", "--high", "nan"} << usage
                                       << "--high and --low take a temperature";
    }
    void commandLineSaysWhy()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFile kept(dir.filePath("kept.txt"));
        QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("readings\n") == 9);
        kept.close();
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove("DISPLAY");
        p.setProcessEnvironment(e);
        p.setWorkingDirectory(dir.path());
        p.start(TX9_DEMO, args);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), status);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains(said), qPrintable(err));
        QVERIFY(!QFile::exists(dir.filePath("x.xml")));
        QVERIFY(!QFile::exists(dir.filePath("r.txt")) && !QFile::exists(dir.filePath("l.json")));
        QCOMPARE(read(dir.filePath("kept.txt")), QByteArray("readings\n")); // left as it was
    }

    // --latest: the newest reading, whole, after every row; a file that cannot be written is
    // said once, and the run goes on.
    void latestReadingFile()
    {
        const QString latest = dir.filePath("now.json"), out = dir.filePath("latest.csv");
        Demo d = demo(
            {"--interval", "0", "--limit", "6", "-o", out, "--format", "csv", "--latest", latest});
        QCOMPARE(d.status, 0);
        const QJsonObject now = QJsonDocument::fromJson(read(latest)).object();
        const QList<QByteArray> last = read(out).trimmed().split('\n').last().trimmed().split(',');
        QCOMPARE(now.value("no").toInt(), 6);
        QCOMPARE(now.value("time").toString(), QString::fromLatin1(last[1]));
        QCOMPARE(now.value("value").toDouble(), last[2].toDouble());
        QCOMPARE(now.value("unit").toString(), QString::fromUtf8(last[3]));
        QCOMPARE(now.value("display").toString(), QString::fromUtf8(last[4]));
        d = demo(
            {"--interval", "0", "--limit", "4", "-q", "--latest", dir.filePath("none/now.json")});
        QCOMPARE(d.status, 0);
        QCOMPARE(d.err.count("Could not write the latest reading to"), 1);
    }

    void helpNamesEverything()
    {
        QProcess p;
        p.start(TX9_DEMO, {"--help"});
        QVERIFY(p.waitForFinished(20000));
        const QString help = QString::fromUtf8(p.readAllStandardOutput());
        for (const char *word :
             {"TX9_UNIT", "TX9_START", "TX9_SECONDS", "--wait", "--append", "--overwrite",
              "--latest", "(default 0.5)", "no,time,value,unit,display"})
            QVERIFY2(help.contains(QLatin1String(word)), word);
    }
};

QTEST_MAIN(tst_HeadlessEdges)
#include "tst_HeadlessEdges.moc"
