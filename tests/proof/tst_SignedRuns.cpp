// The real program's files proving themselves: --verify's statuses and sentences, the
// program's public key in an allowed_signers file that ssh-keygen and --verify both take, a
// key of the user's own, --append after a kill and on a changed file, and a disk that fills
// and empties under a run. The demo build is run, as a user would run the program.

#include "common/SmallDisk.h"
#include "common/Wait.h"
#include "session/ExitStatus.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

class tst_SignedRuns : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    struct Run
    {
        int status = -1;
        QString out, err;
    };
    QProcessEnvironment env() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_STATE_HOME", dir.filePath("state"));
        e.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        e.insert("QT_QPA_PLATFORM", "offscreen");
        return e;
    }
    Run run(const QStringList &args, int ms = 60000)
    {
        QProcess p;
        p.setProcessEnvironment(env());
        p.start(TX9_DEMO, args);
        Run r;
        if (!p.waitForFinished(ms)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    static int keygen(const QStringList &args, const QString &input = {})
    {
        QProcess p;
        if (!input.isEmpty())
            p.setStandardInputFile(input);
        p.start("ssh-keygen", args);
        p.waitForFinished(30000);
        return p.exitCode();
    }

    // The seal a report prints ("Seal: HASH@ROWS" in its text).
    static QString printedSeal(const QString &pdf)
    {
        QProcess p;
        p.start("pdftotext", {"-layout", pdf, "-"});
        p.waitForFinished(60000);
        const QRegularExpressionMatch m = QRegularExpression("Seal: (?:\\S+: )?([0-9a-f]{64}@\\d+)")
                                              .match(QString::fromUtf8(p.readAllStandardOutput()));
        return m.hasMatch() ? m.captured(1) : QString();
    }

private slots:
    // Every seal a report prints holds on the genuine file with --verify --seal, signed or
    // not, from a run and from files, and after a later session went on with the file; and
    // fails on a copy with one reading changed.
    void reportSealsHold()
    {
        QStringList seals;
        for (const char *format : {"csv", "text"}) {
            for (const bool signedReport : {true, false}) {
                const QString file =
                    dir.filePath(QStringLiteral("rep-%1-%2.%3")
                                     .arg(format)
                                     .arg(signedReport)
                                     .arg(format == QLatin1String("csv") ? "csv" : "txt"));
                const QString pdf = file + ".pdf";
                QStringList args{"--headless", "--interval", "0",    "--limit",  "14", "-q", "-o",
                                 file,         "--format",   format, "--report", pdf};
                if (signedReport)
                    args << "--sign-as"
                         << "Ann"
                         << "--meaning"
                         << "reviewed";
                Run r = run(args);
                QVERIFY2(r.status == 0, qPrintable(r.err));
                const QString seal = printedSeal(pdf);
                QVERIFY2(seal.endsWith("@14"), qPrintable(pdf + ": " + seal));
                r = run({"--verify", file, "--seal", seal});
                QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
                // A report of the file, signed: its seal holds too.
                const QString again = file + ".again.pdf";
                r = run({"--report", again, "--sign-as", "Bo", "--meaning", "approved", file});
                QVERIFY2(r.status == 0, qPrintable(r.err));
                const QString fileSeal = printedSeal(again);
                QVERIFY2(!fileSeal.isEmpty(), qPrintable(again));
                QCOMPARE(run({"--verify", file, "--seal", fileSeal}).status, 0);
                seals << seal;
                // A later session goes on with the file: both seals still hold.
                r = run({"--headless", "--interval", "0", "--limit", "3", "-q", "-o", file,
                         "--format", format, "--append"});
                QVERIFY2(r.status == 0, qPrintable(r.err));
                for (const QString &s : {seal, fileSeal}) {
                    r = run({"--verify", file, "--seal", s});
                    QVERIFY2(r.status == 0, qPrintable(s + ": " + r.out + r.err));
                }
                // One reading changed in a copy (with the same signature and trail): refused.
                const QString changed = file + ".changed";
                QByteArray bytes = read(file);
                const qsizetype row =
                    bytes.indexOf(format == QLatin1String("csv") ? "\n5," : "\n5\t");
                QVERIFY(row > 0);
                const qsizetype end = bytes.indexOf('\n', row + 1);
                const char separator = format == QLatin1String("csv") ? ',' : '\t';
                QList<QByteArray> fields = bytes.mid(row + 1, end - row - 1).split(separator);
                QByteArray &value = fields[2];
                for (char &c : value)
                    if (c >= '0' && c <= '9') {
                        c = c == '9' ? '8' : '9';
                        break;
                    }
                bytes.replace(row + 1, end - row - 1, fields.join(separator));
                write(changed, bytes);
                for (const char *ext : {".sig", ".trail", ".trail.sig"})
                    QVERIFY(QFile::copy(file + ext, changed + ext));
                r = run({"--verify", changed, "--seal", seal});
                QVERIFY2(r.status == 11, qPrintable(r.out + r.err));
            }
        }
    }

    // --verify: intact, signed by whom the allowed signers say; no signature 12; a reading
    // changed 11, naming it; not a data file 9; a wrong command line 2; the worst status of
    // several files.
    void verifyCommand()
    {
        const QString file = dir.filePath("run.txt");
        Run r = run({"--headless", "--interval", "0", "--limit", "4", "-q", "-o", file});
        QCOMPARE(r.status, 0);
        r = run({"--verify", file});
        QCOMPARE(r.status, 0);
        // Without --allowed-signers: the program's own key on this machine is trusted.
        QVERIFY2(r.out.startsWith(file + ": intact: 4 rows, signed by tx9-logger@"),
                 qPrintable(r.out));

        r = run({"--public-key"});
        QCOMPARE(r.status, 0);
        const QString line = r.out.trimmed();
        QVERIFY2(
            QRegularExpression("^tx9-logger@\\S+ ssh-ed25519 AAAA\\S+$").match(line).hasMatch(),
            qPrintable(line));
        const QString allowed = dir.filePath("allowed_signers");
        write(allowed, line.toUtf8() + '\n');
        const QString principal = line.section(' ', 0, 0);
        r = run({"--verify", "--allowed-signers", allowed, file});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains("signed by " + principal + " at "), qPrintable(r.out));
        // An auditor with ssh-keygen alone.
        QCOMPARE(keygen({"-Y", "verify", "-f", allowed, "-I", principal, "-n", "tx9-logger", "-s",
                         file + ".sig"},
                        file),
                 0);

        const QString bare = dir.filePath("bare.txt"), changed = dir.filePath("changed.txt"),
                      junk = dir.filePath("junk.txt");
        write(bare, read(file));
        QByteArray bytes = read(file);
        const qsizetype row2 = bytes.indexOf("\n2\t") + 1;
        const qsizetype value = bytes.indexOf('\t', bytes.indexOf('\t', row2) + 1) + 1;
        bytes[value] = bytes[value] == '9' ? '8' : '9';
        write(changed, bytes);
        for (const char *ext : {".sig", ".trail", ".trail.sig"})
            QVERIFY(QFile::copy(file + ext, changed + ext));
        write(junk, "not a table\n");
        const struct
        {
            QStringList Args;
            int Status;
            const char *Says;
        } cases[] = {
            {{bare}, 12, "no signature: 4 rows"},
            {{changed}, 11, "differ from the seal that covers them"},
            {{junk}, 9, "not one of this program's data files"},
            {{file, bare, changed}, 11, "intact"},
            {{file, bare}, 12, "intact"},
            {{}, 2, ""},
            {{"--seal", "xyz", file}, 2, ""},
            {{"--allowed-signers", dir.filePath("none"), file}, 2, ""},
        };
        for (const auto &c : cases) {
            r = run(QStringList{"--verify"} + c.Args);
            QVERIFY2(r.status == c.Status, qPrintable(c.Args.join(' ') + ": " +
                                                      QString::number(r.status) + r.out + r.err));
            QVERIFY2(r.out.contains(QLatin1String(c.Says)), qPrintable(r.out));
        }
        // The rows named take in the one changed.
        r = run({"--verify", changed});
        const QRegularExpressionMatch named =
            QRegularExpression("the rows? No (\\d+)(?: to No (\\d+))? differ").match(r.out);
        QVERIFY2(named.hasMatch(), qPrintable(r.out));
        QVERIFY(named.captured(1).toInt() <= 2);
        QVERIFY((named.captured(2).isEmpty() ? named.captured(1) : named.captured(2)).toInt() >= 2);
    }

    // A key of the user's own signs the files; one that cannot sign is a wrong command line,
    // said before anything is recorded.
    void ownSigningKey()
    {
        const QString key = dir.filePath("mine");
        QCOMPARE(keygen({"-q", "-t", "ed25519", "-N", "", "-C", "anna@desk", "-f", key}), 0);
        const QString file = dir.filePath("mine.csv");
        Run r = run({"--headless", "--interval", "0", "--limit", "3", "-q", "-o", file, "--format",
                     "csv", "--signing-key", key, "--report", file + ".pdf"});
        QCOMPARE(r.status, 0);
        // The run's own report trusts the key it signs with.
        {
            QProcess text;
            text.start("pdftotext", {file + ".pdf", "-"});
            text.waitForFinished(60000);
            const QString page = QString::fromUtf8(text.readAllStandardOutput()).simplified();
            QVERIFY2(page.contains(": intact: 3 rows, signed by ") && !page.contains("WARNING"),
                     qPrintable(page));
        }
        // --verify elsewhere does not, until the key is among this user's allowed signers.
        r = run({"--verify", file});
        QCOMPARE(r.status, 11);
        QVERIFY2(r.out.contains("signed by a key that is not trusted here: SHA256:"),
                 qPrintable(r.out));
        QVERIFY(QDir().mkpath(dir.filePath("config/tx9-logger")));
        write(dir.filePath("config/tx9-logger/allowed_signers"), "anna@desk " + read(key + ".pub"));
        r = run({"--verify", file});
        QVERIFY2(r.status == 0 && r.out.contains("signed by anna@desk"), qPrintable(r.out));
        QVERIFY(QFile::remove(dir.filePath("config/tx9-logger/allowed_signers")));
        const QString allowed = dir.filePath("mine_signers");
        write(allowed, "anna@desk " + read(key + ".pub"));
        r = run({"--verify", "--allowed-signers", allowed, file});
        QVERIFY2(r.status == 0 && r.out.contains("signed by anna@desk"), qPrintable(r.out));
        r = run({"--public-key", "--signing-key", key});
        QCOMPARE(r.out.section(' ', 1).trimmed(),
                 QString::fromUtf8(read(key + ".pub")).section(' ', 0, 1));
        // Not among the allowed signers: the program's own key is another.
        r = run({"--public-key"});
        write(allowed, r.out.toUtf8());
        r = run({"--verify", "--allowed-signers", allowed, file});
        QCOMPARE(r.status, 11);
        QVERIFY2(r.out.contains("not among the allowed signers"), qPrintable(r.out));

        const QString locked = dir.filePath("locked");
        QCOMPARE(keygen({"-q", "-t", "ed25519", "-N", "secret", "-f", locked}), 0);
        for (const QString &bad : {locked, dir.filePath("missing")}) {
            r = run({"--headless", "--limit", "1", "-o", dir.filePath("never.txt"), "--signing-key",
                     bad});
            QCOMPARE(r.status, 2);
            QVERIFY2(r.err.contains("--signing-key"), qPrintable(r.err));
            QVERIFY(!QFile::exists(dir.filePath("never.txt")));
        }
    }

    // --append after a kill goes on, the torn line cut and said in the trail; a file changed
    // since it was signed is refused with what --verify says; an unsigned file is taken, and
    // the trail says so.
    void appendAfterKillAndChange()
    {
        const QString file = dir.filePath("kill.txt");
        QProcess p;
        p.setProcessEnvironment(env());
        p.start(TX9_DEMO, {"--headless", "--interval", "0", "-q", "-o", file});
        QVERIFY(p.waitForStarted());
        QVERIFY(waitUntil([&] { return read(file).count('\n') >= 6; }, 20000));
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished(10000));
        QFile torn(file);
        QVERIFY(torn.open(QIODevice::Append));
        torn.write("17\t09:1");
        torn.close();
        Run r = run({"--verify", file});
        QCOMPARE(r.status, 11);
        QVERIFY2(r.out.contains("after its last seal"), qPrintable(r.out));

        r = run({"--headless", "--interval", "0", "--limit", "3", "-q", "--append", "-o", file});
        QVERIFY2(r.status == 0, qPrintable(r.err));
        r = run({"--verify", file});
        QVERIFY2(r.status == 0, qPrintable(r.out));
        const QByteArray trail = read(file + ".trail");
        QVERIFY(trail.contains("\ttorn last line cut\t" + file.toUtf8() + "\t7 bytes\n"));

        // A reading changed: refused, the file as it was.
        QByteArray bytes = read(file);
        bytes.replace("\n3\t", "\n33\t");
        write(file, bytes);
        r = run({"--headless", "--limit", "1", "-q", "--append", "-o", file});
        QCOMPARE(r.status, 5);
        QVERIFY2(r.err.contains("changed since it was signed") && r.err.contains("No 33"),
                 qPrintable(r.err));
        QCOMPARE(read(file), bytes);

        // Its signature removed, its trail left: checked against the trail's seals, refused,
        // and the trail kept as it was.
        QVERIFY(QFile::remove(file + ".sig"));
        const QByteArray keptTrail = read(file + ".trail");
        r = run({"--headless", "--limit", "1", "-q", "--append", "-o", file});
        QCOMPARE(r.status, 5);
        QVERIFY2(r.err.contains("No 33"), qPrintable(r.err));
        QCOMPARE(read(file + ".trail"), keptTrail);
        QCOMPARE(read(file), bytes);

        // Unsigned: taken, said in its new trail, and marked for good: --verify names the
        // rows nothing vouches for (status 12), after this append and any later one.
        for (const char *ext : {".trail", ".trail.sig"})
            QVERIFY(QFile::remove(file + ext));
        const qint64 rows = bytes.count('\n') - 3;
        r = run({"--headless", "--interval", "0", "--limit", "2", "-q", "--append", "-o", file});
        QCOMPARE(r.status, 0);
        QVERIFY(read(file + ".trail")
                    .contains("\tappended to an unsigned file\t" + file.toUtf8() + "\t" +
                              QByteArray::number(rows) + " rows\n"));
        for (int again = 0; again < 2; ++again) {
            r = run({"--verify", file});
            QCOMPARE(r.status, 12);
            QVERIFY2(r.out.contains(QStringLiteral("rows No 1 to No %1 were taken from an "
                                                   "unsigned file on ")
                                        .arg(rows)) &&
                         r.out.contains(QStringLiteral("; rows No %1 to No ").arg(rows + 1)) &&
                         r.out.contains(" intact"),
                     qPrintable(r.out));
            r = run(
                {"--headless", "--interval", "0", "--limit", "1", "-q", "--append", "-o", file});
            QCOMPARE(r.status, 0);
        }
    }

    // A disk that fills under a run and empties again: the rows and their signature wait and
    // go out; what the file holds at the end checks intact.
    void diskThatFillsAndEmpties()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("not under ThreadSanitizer");
#endif
        const SmallDisk disk(dir.filePath("small"), "128k");
        if (!disk.Why.isEmpty())
            QSKIP(qPrintable(disk.Why));
        const QString mnt = disk.At;
        const QString file = mnt + "/run.txt", filler = mnt + "/filler";
        QProcess p;
        p.setProcessEnvironment(env());
        p.start(TX9_DEMO, {"--headless", "--interval", "0", "-q", "-o", file});
        QVERIFY(p.waitForStarted());
        QVERIFY(waitUntil([&] { return read(file).count('\n') >= 5; }, 20000));
        // The filler takes every free block, and goes on taking those the run frees: a file
        // replaced while the filler wrote gives back its old block, and a run that writes a
        // new copy and then drops the old one could live on that one block for a long time.
        QFile f(filler);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(1024, 'f');
        auto fill = [&] {
            while (f.write(block) == block.size()) {
            }
        };
        fill();
        const qint64 fullAt = read(file).count('\n');
        QString err;
        QVERIFY2(waitUntil(
                     [&] {
                         fill();
                         err += QString::fromUtf8(p.readAllStandardError());
                         return err.contains("No space left on device");
                     },
                     30000),
                 qPrintable(err));
        f.close();
        // The signature that cannot be written is an alarm from its first failure.
        QVERIFY2(waitUntil(
                     [&] {
                         err += QString::fromUtf8(p.readAllStandardError());
                         return err.contains("Alarm not signed started");
                     },
                     5000),
                 qPrintable(err));
        QVERIFY(QFile::remove(filler));
        QVERIFY(waitUntil([&] { return read(file).count('\n') >= fullAt + 3; }, 20000));
        // Signed again: the alarm ends on its own, before the run does.
        QVERIFY2(waitUntil(
                     [&] {
                         err += QString::fromUtf8(p.readAllStandardError());
                         return err.contains("Alarm not signed ended");
                     },
                     20000),
                 qPrintable(err));
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(20000));
        err += QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(!err.contains("the run stopped"), qPrintable(err));
        const Run r = run({"--verify", file});
        QVERIFY2(r.status == 0, qPrintable(r.out + err));
    }

    // A disk that fills and stays full: the run stops (a write failed) for its data file, and
    // first ends every alarm on, through the log, the alarm command and the metrics, saying
    // why; the metrics file then says the logger is down.
    void diskThatStaysFull()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("not under ThreadSanitizer");
#endif
        const SmallDisk disk(dir.filePath("full"), "128k");
        if (!disk.Why.isEmpty())
            QSKIP(qPrintable(disk.Why));
        const QString file = disk.At + "/run.txt", metrics = dir.filePath("full.prom"),
                      events = dir.filePath("full-events");
        QProcess p;
        p.setProcessEnvironment(env());
        p.start(TX9_DEMO,
                {"--headless", "--interval", "0", "-q", "-o", file, "--metrics-file", metrics,
                 "--on-alarm", "echo \"$TX9_ALARM|$TX9_STATE|$TX9_DETAIL\" >> " + events});
        QVERIFY(p.waitForStarted());
        QVERIFY(waitUntil([&] { return read(file).count('\n') >= 5; }, 20000));
        QFile f(disk.At + "/filler");
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(1024, 'f');
        QVERIFY(waitUntil(
            [&] {
                while (f.write(block) == block.size()) {
                }
                return p.state() == QProcess::NotRunning;
            },
            120000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), int(Exit::WriteFailed));
        for (const char *kind : {"not writable", "not signed"}) {
            const qsizetype started = err.indexOf(QStringLiteral("Alarm %1 started").arg(kind));
            const QRegularExpressionMatch ended =
                QRegularExpression(QStringLiteral("Alarm %1 ended at \\S+ after [\\d.]+ s "
                                                  "\\(ended: the run stopped\\)\\.")
                                       .arg(kind))
                    .match(err);
            QVERIFY2(started >= 0 && ended.hasMatch() && ended.capturedStart() > started,
                     qPrintable(kind + QStringLiteral(": ") + err));
        }
        QVERIFY(waitUntil(
            [&] { return read(events).contains("not writable|end|ended: the run stopped\n"); },
            10000));
        QVERIFY(read(events).contains("not writable|start|the data file " + file.toUtf8()));
        const QString last = QString::fromUtf8(read(metrics));
        QVERIFY2(QRegularExpression("\ntx9_up\\{[^}]*\\} 0\n").match(last).hasMatch() &&
                     !QRegularExpression("tx9_alarm_active\\{[^}]*\\} 1").match(last).hasMatch() &&
                     !last.contains("\ntx9_temperature_celsius{"),
                 qPrintable(last));
    }
};

QTEST_GUILESS_MAIN(tst_SignedRuns)
#include "tst_SignedRuns.moc"
