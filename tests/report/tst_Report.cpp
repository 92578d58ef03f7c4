// The summary report, read back as text (pdftotext) and looked at (pdftoppm): from files with
// each exit status, from a headless run, from the window, and that the three agree.

#include "alarms/AlarmMonitor.h"
#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/ScriptedPrompts.h"
#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "outputs/AuditTrail.h"
#include "outputs/Outputs.h"
#include "proof/Signer.h"
#include "proof/SigningKey.h"
#include "proof/Trail.h"
#include "proof/Verify.h"
#include "recording/MeasurementTable.h"
#include "timeline/DailyFigures.h"
#include "timeline/Notes.h"
#include "timeline/Timeline.h"

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QImage>
#include <QMap>
#include <QPrinter>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <numeric>
#include <random>

class tst_Report : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    struct Ran
    {
        int Status = -1;
        QString Err;
    };
    Ran run(const QStringList &args, const QByteArray &stateHome = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM")); // it runs offscreen by itself
        env.insert(QStringLiteral("XDG_STATE_HOME"),
                   stateHome.isEmpty() ? dir.filePath("state") : QString::fromUtf8(stateHome));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TX9_DEMO), args);
        if (!p.waitForFinished(120000))
            return {};
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromLocal8Bit(p.readAllStandardError())};
    }
    static QString pdfText(const QString &pdf)
    {
        QProcess p;
        p.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
        p.waitForFinished(60000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    // The statistics' lines and the page count, as the report says them.
    static QStringList figures(const QString &text)
    {
        QStringList out;
        for (const char *what : {"Readings", "With a value", "Minimum", "Maximum", "Mean",
                                 "Standard deviation", "Time above"}) {
            const QRegularExpression re(QStringLiteral("^\\s*%1\\s{2,}(\\S+)").arg(what),
                                        QRegularExpression::MultilineOption);
            out << QStringLiteral("%1 %2").arg(what, re.match(text).captured(1));
        }
        const QRegularExpression page(QStringLiteral("Page 1 of (\\d+)"));
        out << QStringLiteral("pages %1").arg(page.match(text).captured(1));
        return out;
    }
    static void sendFrame(TFCOMM &w, const QString &digits)
    {
        for (const QByteArray &r : TestFrames::reportsFor(TestFrames::live("1", digits)))
            w.HidDataReceived(nullptr, 0, reinterpret_cast<const quint8 *>(r.constData()),
                              quint16(r.size()));
    }

private slots:
    void fromFiles()
    {
        // A day of readings a minute, rising and falling, one over-range reading, written as
        // text and as CSV: both give the same report figures, and the data's own.
        MeasurementTable rows;
        const QDateTime start(QDate(2026, 12, 8), QTime(0, 0, 30));
        double sum = 0, lo = 1e9, hi = -1e9;
        int count = 0;
        for (int m = 0; m < 1440; ++m) {
            const double v = m == 700 ? 0 : 20 + 10 * std::sin(m / 229.0);
            const QString text = m == 700 ? QStringLiteral("  0L") : QString::number(v, 'f', 1);
            if (m != 700) {
                const double shown = text.toDouble();
                sum += shown;
                lo = qMin(lo, shown);
                hi = qMax(hi, shown);
                ++count;
            }
            rows.appendRow({m + 1, start.addSecs(m * 60).toString("HH:mm:ss"), text, "#",
                            start.addSecs(m * 60)});
        }
        const QString txt = dir.filePath("day.txt"), csv = dir.filePath("day.csv");
        QVERIFY(DataFiles::saveTable(rows, txt, start.date()));
        // The same two notes in the CSV's note column and beside the text file.
        const qint64 momentMs = start.addSecs(100 * 60 + 30).toMSecsSinceEpoch();
        const std::vector<DataFiles::CsvNote> csvNotes{{42, 0, QStringLiteral("door opened")},
                                                       {-1, momentMs, QStringLiteral("power cut")}};
        QVERIFY(DataFiles::saveCsv(rows, csv, nullptr, nullptr, &csvNotes));
        QVERIFY(SafeFile::writeWhole(
            Notes::besideFile(txt),
            Notes::csv({{1, start.addSecs(42 * 60).toMSecsSinceEpoch(), 42, 43,
                         QStringLiteral("door opened")},
                        {2, momentMs, -1, std::nullopt, QStringLiteral("power cut")}}),
            nullptr));
        QFile f(txt);
        QVERIFY(f.open(QIODevice::ReadWrite));
        // Written just after its last row: the day its rows are dated from.
        QVERIFY(f.setFileTime(start.addSecs(1439 * 60 + 10), QFileDevice::FileModificationTime));
        f.close();

        QStringList seen;
        for (const QString &file : {txt, csv}) {
            const QString pdf = file + QStringLiteral(".pdf");
            const Ran r = run({"--report", pdf, "--high", "29", "--low", "11", file});
            QVERIFY2(r.Status == 0, qPrintable(r.Err));
            const QString text = pdfText(pdf);
            QVERIFY2(text.contains(QStringLiteral("Readings from 2026-12-08 00:00:30 to "
                                                  "2026-12-08 23:59:30")),
                     qPrintable(text));
            const QStringList got = figures(text);
            QCOMPARE(got[0], QStringLiteral("Readings 1440"));
            QCOMPARE(got[1], QStringLiteral("With a value %1").arg(count));
            QCOMPARE(got[2], QStringLiteral("Minimum %1").arg(lo, 0, 'f', 2));
            QCOMPARE(got[3], QStringLiteral("Maximum %1").arg(hi, 0, 'f', 2));
            QCOMPARE(got[4], QStringLiteral("Mean %1").arg(sum / count, 0, 'f', 2));
            // The first page keeps the chart's figures, the file's verification and the
            // sign-off's box; what follows may go on to the next.
            const QString first = text.section(QLatin1Char('\f'), 0, 0).simplified();
            QVERIFY2(first.contains("Standard deviation") &&
                         first.contains("Mean kinetic temperature") &&
                         first.contains("Verified: " + file + ": no signature") &&
                         first.contains("Not signed"),
                     qPrintable(first));
            QVERIFY(text.simplified().contains("Without a value 1 1 above the range"));
            // Every alarm: the day's one high and one low, and the over-range reading's own.
            QCOMPARE(text.count(QRegularExpression(QStringLiteral("^\\s*high\\s"),
                                                   QRegularExpression::MultilineOption)),
                     1);
            QCOMPARE(text.count(QRegularExpression(QStringLiteral("^\\s*low\\s"),
                                                   QRegularExpression::MultilineOption)),
                     1);
            QCOMPARE(text.count(QRegularExpression(QStringLiteral("^\\s*no reading\\s"),
                                                   QRegularExpression::MultilineOption)),
                     1);
            // The notes, the one on reading No 43 with its number.
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("43\\s+door opened"))) &&
                         text.contains(QStringLiteral("power cut")),
                     qPrintable(text));
            seen << got.join('|');
            if (file == txt)
                QProcess::execute(QStringLiteral("pdftoppm"),
                                  {QStringLiteral("-r"), QStringLiteral("60"),
                                   QStringLiteral("-png"), pdf, dir.filePath("page")});
        }
        QCOMPARE(seen[0], seen[1]);
        QVERIFY(QFile::exists(dir.filePath("page-1.png")));

        // Each exit status, and what it says.
        QCOMPARE(run({"--report", dir.filePath("x.pdf")}).Status, 2);
        QCOMPARE(run({"--report", dir.filePath("x.pdf"), "--high", "warm", txt}).Status, 2);
        const Ran missing = run({"--report", dir.filePath("x.pdf"), txt, dir.filePath("no.txt")});
        QCOMPARE(missing.Status, 9);
        QVERIFY2(missing.Err.contains(dir.filePath("no.txt")), qPrintable(missing.Err));
        QFile bad(dir.filePath("bad.csv"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("no,time,value,unit,display\r\n1,2026-12-08T00:00:30.000+01:00,20.0,\xC2\xB0"
                  "C,20.0\r\n" +
                  QByteArray(5000, 'x') + "\r\n");
        bad.close();
        const Ran hostile = run({"--report", dir.filePath("x.pdf"), dir.filePath("bad.csv")});
        QCOMPARE(hostile.Status, 9);
        QVERIFY2(hostile.Err.contains(QStringLiteral("longer than 4096")), qPrintable(hostile.Err));
        const Ran unwritable = run({"--report", dir.filePath("none/x.pdf"), txt});
        QCOMPARE(unwritable.Status, 5);
        QVERIFY(!QFile::exists(dir.filePath("x.pdf")));

        // A sensor that flaps: 200 alarms of 2 s and one of 3 min. The report stays short,
        // lists the longest in time order, and says how many more there were.
        MeasurementTable flaps;
        int no = 0;
        QDateTime at = start;
        auto add = [&](double v) {
            flaps.appendRow({++no, at.toString("HH:mm:ss"), QString::number(v, 'f', 1), "#", at});
            at = at.addSecs(1);
        };
        for (int i = 0; i < 200; ++i) {
            for (int k = 0; k < 3; ++k)
                add(31);
            for (int k = 0; k < 3; ++k)
                add(20);
            if (i == 150)
                for (int k = 0; k < 180; ++k)
                    add(35);
        }
        const QString flapping = dir.filePath("flaps.csv");
        QVERIFY(DataFiles::saveCsv(flaps, flapping));
        const Ran many = run({"--report", flapping + ".pdf", "--high", "30", flapping});
        QVERIFY2(many.Status == 0, qPrintable(many.Err));
        const QString said = pdfText(flapping + ".pdf");
        QVERIFY2(said.contains(QStringLiteral("... and 155 shorter alarms (200 in all).")),
                 qPrintable(said));
        QVERIFY(said.contains(QStringLiteral("3 min 3 s"))); // the long one, 183 readings
        QCOMPARE(figures(said).last(), QStringLiteral("pages 2"));
    }

    // What a report is given is read whole and within limits, and never costs the readings:
    // its output never replaces an input nor (unasked) anything but a PDF; numbers are checked
    // as a run checks them; a file without the header is refused; damaged notes, marks and
    // times are counted and said; a sidecar of 20,000 notes lists two pages and says the rest.
    void reportInputsWithinLimits_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("args"); // after --report OUT; %f: the recording
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");    // on standard error
        QTest::addColumn<QString>("printed"); // in the PDF
        QTest::newRow("output is the input")
            << "same" << QStringList{"%f"} << 2 << "are the same file"
            << "";
        QTest::newRow("output is another recording")
            << "other" << QStringList{"%f"} << 5 << "is not a PDF; --overwrite replaces it"
            << "";
        QTest::newRow("another recording replaced when asked")
            << "other" << QStringList{"--overwrite", "%f"} << 0 << ""
            << "Readings";
        QTest::newRow("high nan") << "plain" << QStringList{"--high", "nan", "%f"} << 2
                                  << "--high and --low take a temperature"
                                  << "";
        QTest::newRow("hold below 0")
            << "plain" << QStringList{"--hold", "-5", "%f"} << 2 << "--hold takes"
            << "";
        QTest::newRow("hysteresis below 0")
            << "plain" << QStringList{"--hysteresis", "-3", "%f"} << 2 << "--hysteresis takes"
            << "";
        QTest::newRow("limits crossed")
            << "plain" << QStringList{"--low", "30", "--high", "10", "%f"} << 2
            << "--low must be below --high"
            << "";
        QTest::newRow("no header") << "hello" << QStringList{"%f"} << 9
                                   << "does not begin with the text data file's header"
                                   << "";
        QTest::newRow("20000 notes beside")
            << "notes" << QStringList{"%f"} << 0 << "that are no notes, left out: 1."
            << "... and 19910 more notes (20000 in all)";
        QTest::newRow("kept journal, damaged marks")
            << "journal" << QStringList{"%f"} << 0 << "cannot be read, left out: 1."
            << "Readings 6";
        QTest::newRow("times that do not read")
            << "times" << QStringList{"%f"} << 0 << "time does not read as one: 3;"
            << "Readings 6";
    }
    void reportInputsWithinLimits()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(QString, printed);
        QTemporaryDir here;
        const QString file = here.filePath("rec.txt");
        QString out = here.filePath("out.pdf");
        const QDateTime start(QDate(2026, 12, 8), QTime(10, 0, 0));
        MeasurementTable rows;
        for (int i = 0; i < 6; ++i)
            rows.appendRow(
                {i + 1, start.addSecs(i).toString("HH:mm:ss"), "21.5", "#", start.addSecs(i)});
        QVERIFY(DataFiles::saveTable(rows, file, start.date()));
        QByteArray bytes;
        if (kind == "hello")
            bytes = "hello\nworld\n";
        if (kind == "times") {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            bytes = f.readAll().replace("10:00:01", "99:99:99").replace("10:00:02", "abc");
            bytes.replace("\t10:00:03\t", "\t\t");
        }
        if (kind == "journal") {
            bytes = DataFiles::textFileHeader(start.date());
            bytes += DataFiles::markLine("connected", rows.capturedPacked(0), "A1");
            DataFiles::appendTextRows(bytes, rows, 0, 2, true);
            bytes += "#brXak\tlost\t2026-12-08T10:00:02\r\n"; // damaged
            bytes += Notes::journalLine({1, start.addSecs(1).toMSecsSinceEpoch(), 1, 2, "ok"});
            bytes += "#note\t2\tnot a time\t1\t2\tdamaged\r\n";
            DataFiles::appendTextRows(bytes, rows, 3, 5, true);
        }
        if (!bytes.isEmpty()) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(bytes);
        }
        if (kind == "notes") {
            std::vector<Notes::Note> many;
            for (int i = 0; i < 20000; ++i)
                many.push_back({i + 1, start.addSecs(i % 6).toMSecsSinceEpoch(), -1, std::nullopt,
                                QStringLiteral("note %1, by the door of the cold room").arg(i)});
            QVERIFY(SafeFile::writeWhole(Notes::besideFile(file),
                                         Notes::csv(many) + "not,a note\r\n", nullptr));
            QVERIFY(QFileInfo(Notes::besideFile(file)).size() > (1 << 20));
        }
        if (kind == "same")
            out = here.path() + "/./rec.txt";
        if (kind == "other") {
            out = here.filePath("other.txt");
            QVERIFY(QFile::copy(file, out));
        }
        const QByteArray before = [&] {
            QFile f(out);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        args.replaceInStrings("%f", file);
        const Ran r = run(QStringList{"--report", out} + args);
        QVERIFY2(r.Status == status, qPrintable(QString::number(r.Status) + r.Err));
        if (!said.isEmpty())
            QVERIFY2(r.Err.contains(said), qPrintable(r.Err));
        if (status != 0) {
            QFile f(out);
            QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(), before);
            return;
        }
        const QString text = pdfText(out);
        QVERIFY2(text.simplified().contains(printed), qPrintable(text));
        if (kind == "notes")
            QVERIFY(figures(text).last().section(' ', 1).toInt() <= 4);
        if (kind == "journal")
            QVERIFY(text.contains("ok"));
    }

    // A reviewer signs: the report of a signed file (a headless run's) carries the sign-off
    // in its box, its meaning in words, and what --verify says of the file; the same file
    // changed afterwards is still reported, with a warning in words on its first page; the
    // options that do not fit together are refused; a headless run signs its own report, the
    // sign-off an entry of its audit trail.
    // No fact is cut: a long comment, the limits in the audit list, a seal in a value and a
    // long path in the verification are on the page whole (wrapped, never with an ellipsis),
    // and no page ends with a heading.
    void factsAreNeverCut()
    {
        const QString folder =
            dir.filePath("a-folder-with-a-rather-long-name-for-the-records-of-"
                         "the-cold-room-by-the-staff-office-on-the-second-floor");
        QVERIFY(QDir().mkpath(folder));
        const QString txt = folder + "/readings.txt", pdf = dir.filePath("whole.pdf");
        const QString comment =
            "Checked against the cold room's paper chart for the whole week, including the "
            "defrost cycles on Tuesday and Thursday nights; nothing out of the ordinary.";
        Ran r = run({"--headless", "-q",       "--interval", "0",         "--limit",
                     "30",         "-o",       txt,          "--high",    "23.3",
                     "--low",      "10.125",   "--hold",     "1",         "--hysteresis",
                     "0.25",       "--report", pdf,          "--sign-as", "Ann Example-Longname",
                     "--meaning",  "reviewed", "--comment",  comment});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString page = pdfText(pdf);
        QString joined = page;
        joined.remove(QRegularExpression("\\s"));
        auto whole = [&](QString fact) {
            return joined.contains(fact.remove(QRegularExpression("\\s")));
        };
        QVERIFY2(!page.contains(QStringLiteral("\u2026")), qPrintable(page));
        QVERIFY2(whole(comment), qPrintable(page));
        QVERIFY2(whole("high 23.3, low 10.125, hold 1 s, hysteresis 0.25"), qPrintable(page));
        QVERIFY2(whole("Verified: " + txt + ": intact: 30 rows"), qPrintable(page));
        // The seal in the value of "session ended", each quarter of it on the page (its
        // column's lines may come out of pdftotext between other text).
        Trail::Contents trail;
        QString why;
        QVERIFY2(Trail::read(Trail::trailOf(txt), &trail, &why), qPrintable(why));
        const auto ended =
            std::find_if(trail.Entries.begin(), trail.Entries.end(),
                         [](const AuditEntry &e) { return e.What == "session ended"; });
        QVERIFY(ended != trail.Entries.end());
        const QString seal = ended->New.section(QStringLiteral("seal "), 1);
        QVERIFY2(seal.endsWith("@30") && seal.size() == 67, qPrintable(ended->New));
        for (int quarter = 0; quarter < 4; ++quarter)
            QVERIFY2(joined.contains(seal.mid(quarter * 16, quarter == 3 ? -1 : 16)),
                     qPrintable(joined.mid(joined.indexOf("sessionended"), 140)));
        // No page ends with a heading.
        const QStringList headings{"Statistics", "Alarms", "Notes", "Gaps", "Audit trail"};
        for (const QString &onePage : page.split(QLatin1Char('\f'), Qt::SkipEmptyParts)) {
            QStringList lines = onePage.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            while (!lines.isEmpty() && (lines.last().trimmed().isEmpty() ||
                                        lines.last().contains(QLatin1String("Page "))))
                lines.removeLast();
            QVERIFY2(lines.isEmpty() || !headings.contains(lines.last().trimmed()),
                     qPrintable(onePage));
        }
    }

    void signedAndVerified()
    {
        const QString txt = dir.filePath("signed.txt"), pdf = dir.filePath("signed.pdf"),
                      run1 = dir.filePath("run.pdf");
        Ran r = run({"--headless", "-q", "--interval", "0", "--limit", "6", "-o", txt, "--report",
                     run1, "--sign-as", "Bo Reviewer", "--meaning", "approved", "--comment",
                     "kiln 3, batch 12"});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        QString page = pdfText(run1).simplified();
        QVERIFY2(
            QRegularExpression("Approved by Bo Reviewer \\(\\S+@\\S+\\) on \\d{4}-\\d\\d-\\d\\d "
                               "\\d\\d:\\d\\d:\\d\\d \\S+ \\x{2014} kiln 3, batch 12")
                .match(page)
                .hasMatch(),
            qPrintable(page));
        QVERIFY2(page.contains("Verified: " + txt + ": intact"), qPrintable(page));
        QVERIFY(page.contains("report signed"));
        QVERIFY(!page.contains("WARNING"));

        r = run({"--report", pdf, "--sign-as", "Ann Example", "--meaning", "reviewed", txt});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        page = pdfText(pdf).simplified();
        QVERIFY2(page.contains("Reviewed by Ann Example (") && page.contains("intact"),
                 qPrintable(page));
        // Changed afterwards: a reading made up.
        QFile f(txt);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QByteArray bytes = f.readAll();
        const qsizetype at = bytes.lastIndexOf('.') - 1;
        bytes[at] = bytes[at] == '9' ? '8' : char(bytes[at] + 1);
        QVERIFY(f.seek(0) && f.write(bytes) == bytes.size());
        f.close();
        r = run({"--report", pdf, "--overwrite", txt});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        page = pdfText(pdf).simplified();
        QVERIFY2(page.contains("WARNING: the data of this report failed verification") &&
                     page.contains("changed: its signature does not match") &&
                     page.contains("Not signed") && page.contains("Readings 6"),
                 qPrintable(page));
        QVERIFY(page.indexOf("WARNING") < page.indexOf("Statistics"));
        for (const QStringList &wrong :
             {QStringList{"--meaning", "reviewed"}, QStringList{"--sign-as", "Ann"},
              QStringList{"--sign-as", "Ann", "--meaning", "liked"}}) {
            r = run(QStringList{"--report", pdf} + wrong + QStringList{txt});
            QCOMPARE(r.Status, 2);
        }
        r = run({"--headless", "--sign-as", "Ann", "--meaning", "reviewed"});
        QCOMPARE(r.Status, 2);
        QVERIFY2(r.Err.contains("needs --report"), qPrintable(r.Err));
    }

    // Day by day: a three-day recording (readings every 10 min, hotter on the second day, a
    // two-hour hole on the third) has a line per calendar day whose readings, minimum,
    // maximum, mean and time above the limit are those of its own rows, and whose time
    // without readings is the hole; the days go on past the first page, which keeps the
    // statistics and the sign-off.
    void dayByDay()
    {
        MeasurementTable rows;
        const QDateTime start(QDate(2026, 12, 1), QTime(0, 5));
        struct Day
        {
            int Count = 0;
            double Min = 1e9, Max = -1e9, Sum = 0, Above = 0;
        };
        QMap<QDate, Day> want;
        QRandomGenerator random(44);
        int no = 0;
        QList<QDateTime> times;
        for (QDateTime t = start; t < start.addDays(3); t = t.addSecs(600))
            if (!(t.date() == QDate(2026, 12, 3) && t.time().hour() >= 10 && t.time().hour() < 12))
                times << t;
        for (qsizetype i = 0; i < times.size(); ++i) {
            const QDateTime &t = times[i];
            const double v = (t.date().day() == 2 ? 9 : 4) + random.bounded(30) / 10.0;
            rows.appendRow({++no, t.toString("HH:mm:ss"), QString::number(v, 'f', 1), "#", t});
            Day &d = want[t.date()];
            ++d.Count;
            d.Min = qMin(d.Min, v);
            d.Max = qMax(d.Max, v);
            d.Sum += v;
            // A reading above 8 °C stands until the next one (the day's last too), but not
            // across a gap (three times the usual spacing of 600 s).
            if (v > 8 && i + 1 < times.size() && t.secsTo(times[i + 1]) <= 1800)
                d.Above += t.secsTo(times[i + 1]);
        }
        const QString csv = dir.filePath("three-days.csv"), pdf = dir.filePath("three-days.pdf");
        QVERIFY(DataFiles::saveCsv(rows, csv));
        const Ran r = run({"--report", pdf, "--high", "8", csv});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString text = pdfText(pdf);
        const QString first = text.section(QLatin1Char('\f'), 0, 0);
        QVERIFY(first.contains("Day by day (°C)") && first.contains("Not signed"));
        QVERIFY(first.contains("Mean kinetic temperature"));
        for (auto d = want.cbegin(); d != want.cend(); ++d) {
            const QRegularExpressionMatch m =
                QRegularExpression(
                    d.key().toString(Qt::ISODate) +
                    "\\s+(\\d+)\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+"
                    "-\\s+(\\d+)\\s+(\\S+)")
                    .match(text);
            QVERIFY2(m.hasMatch(), qPrintable(d.key().toString() + "\n" + text));
            QCOMPARE(m.captured(1).toInt(), d->Count);
            QCOMPARE(m.captured(2), QString::number(d->Min, 'f', 2));
            QCOMPARE(m.captured(3), QString::number(d->Max, 'f', 2));
            QCOMPARE(m.captured(4), QString::number(d->Sum / d->Count, 'f', 2));
            // To the second (a whole day above is "24:00:00").
            const QStringList above = m.captured(6).split(':');
            QCOMPARE(above.size(), 3);
            QCOMPARE(above[0].toInt() * 3600 + above[1].toInt() * 60 + above[2].toInt(),
                     int(d->Above));
            // The hole on the third day: two hours and the spacing either side of it.
            QCOMPARE(m.captured(8), d.key().day() == 3 ? QString("02:10:00") : QString("00:00:00"));
        }
    }

    // The alarms of a report come from its rows: one still on at the end has its worst
    // reading so far, its duration so far and its shading; a recording the window loaded (or
    // restored), whose alarms were never seen live, has them in its report as well.
    void alarmsComeFromTheRows()
    {
        MeasurementTable rows;
        const QDateTime start(QDate(2026, 12, 8), QTime(2, 49, 4));
        for (int i = 0; i < 100; ++i) {
            const double v = i < 60 ? 20.0 : 27.1 + (i - 60) * 0.3; // up to 38.8
            rows.appendRow({i + 1, start.addSecs(i).toString("HH:mm:ss"),
                            QString::number(v, 'f', 1), "#", start.addSecs(i)});
        }
        const QString csv = dir.filePath("rising.csv"), pdf = dir.filePath("rising.pdf");
        QVERIFY(DataFiles::saveCsv(rows, csv));
        const Ran r = run({"--report", pdf, "--high", "24", csv});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString text = pdfText(pdf).simplified();
        QVERIFY2(text.contains("high 2026-12-08 02:50:04 still on at the end 39 s so far 38.80"),
                 qPrintable(text));
        // What a reader of the page needs: the zone of its times, the criteria, who made it
        // when, and what the chart's marks mean.
        QVERIFY2(QRegularExpression("Times are local: \\S+ \\(UTC[+-]\\d\\d:\\d\\d")
                         .match(text)
                         .hasMatch() &&
                     text.contains("Alarm limits: high above 24.00 °C; hold 0 s, hysteresis "
                                   "0.50 °C") &&
                     text.contains("Made on ") && text.contains(" by TX-9 Logger ") &&
                     text.contains("downloaded alarm gap note beyond the range limit"),
                 qPrintable(text));
        // Shaded to the end: the page's chart area holds the alarm's red over its last 40 %.
        QProcess::execute("pdftoppm",
                          {"-r", "50", "-png", "-f", "1", "-l", "1", pdf, dir.filePath("rising")});
        QImage page(dir.filePath("rising-1.png"));
        QVERIFY(!page.isNull());
        int reddish = 0;
        for (int y = 0; y < page.height() / 2; ++y)
            for (int x = 0; x < page.width(); ++x) {
                const QColor c = page.pixelColor(x, y);
                reddish += c.red() > 235 && c.green() < 230 && c.green() > 180 && c.blue() < 230;
            }
        QVERIFY2(reddish > 500, qPrintable(QString::number(reddish)));

        // The window, its rows loaded from a file and its limits set afterwards.
        ScriptedPrompts prompts;
        TFCOMM w;
        const QString txt = dir.filePath("rising.txt");
        QVERIFY(DataFiles::saveTable(rows, txt, start.date()));
        w.LoadTableFromFile(txt, w.cds1, false);
        QCOMPARE(w.cds1->count(), qint64(100));
        AlarmSettings limits;
        limits.High = 24;
        w.Alarms->setSettings(limits);
        // A logger gone blind meanwhile: its alarm as it was seen, still on.
        w.Alarms->condition(AlarmKind::MeterSilent, true,
                            QStringLiteral("the meter sends nothing"));
        // Signed in the window: the name, what it means (in any case), a comment.
        prompts.textAnswers << "Cy Window"
                            << " Approved"
                            << "loaded from rising.txt";
        w.SummaryReportEntry->trigger();
        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath("loaded.pdf"));
        prompts.lastPreviewPaint(&printer);
        const QString fromWindow = pdfText(dir.filePath("loaded.pdf")).simplified();
        QVERIFY2(fromWindow.contains("still on at the end 39 s so far 38.80") &&
                     !fromWindow.contains("Alarms None") &&
                     QRegularExpression("meter silent \\S+ \\S+ still on at the end \\d+ s so far "
                                        "the meter sends nothing")
                         .match(fromWindow)
                         .hasMatch() &&
                     fromWindow.contains("Approved by Cy Window (") &&
                     fromWindow.contains("loaded from rising.txt") &&
                     fromWindow.contains("report signed"),
                 qPrintable(fromWindow));
        // The seal the window's signed page printed holds on the file saved afterwards (the
        // sign-off and the report's writing come after it in its trail), and the preview
        // painted again prints the same seal and signs once.
        const QRegularExpression sealForm("Seal: ([0-9a-f]{64}@\\d+)");
        const QString printed = sealForm.match(fromWindow).captured(1);
        QVERIFY2(printed.endsWith("@100"), qPrintable(fromWindow));
        prompts.lastPreviewPaint(&printer);
        const QString again = pdfText(dir.filePath("loaded.pdf")).simplified();
        QCOMPARE(sealForm.match(again).captured(1), printed);
        QCOMPARE(again.count("report signed"), 1);
        const QString saved = dir.filePath("loaded-saved.txt");
        prompts.messageAnswers.enqueue(int(DialogButton::OK));
        w.SaveTableToFile(w.cds1, saved);
        QString why;
        const SigningKey *key = Signer::key(&why);
        QVERIFY2(key, qPrintable(why));
        AllowedSigners machine;
        machine.add(key->publicBlob(), QStringLiteral("tx9-logger@test"));
        Verify::Options check{&machine};
        QVERIFY(Seal::parse(printed, &check.SealHex.emplace(), &check.SealRows));
        const Verify::Result held = Verify::file(saved, check);
        QVERIFY2(held.What == Verify::Outcome::Intact, qPrintable(held.Sentence));
        // One reading changed in a copy: it no longer holds.
        QByteArray bytes;
        {
            QFile f(saved);
            QVERIFY(f.open(QIODevice::ReadOnly));
            bytes = f.readAll();
        }
        const qsizetype row = bytes.indexOf("\n50\t");
        QVERIFY(row > 0);
        const qsizetype value = bytes.indexOf('\t', bytes.indexOf('\t', row + 1) + 1) + 1;
        bytes[value] = bytes[value] == '9' ? '8' : '9';
        const QString changed = dir.filePath("loaded-changed.txt");
        {
            QFile f(changed);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        }
        for (const char *ext : {".sig", ".trail", ".trail.sig"})
            QVERIFY(QFile::copy(saved + ext, changed + ext));
        QCOMPARE(Verify::file(changed, check).What, Verify::Outcome::Changed);
    }

    // Files of two cables are never mixed unasked: refused (status 2) by the cables their
    // journals name or by their overlapping times; merged on request, the °F file converted
    // to °C, and each cable's alarms worked out on its own in time order, whatever order its
    // rows are stored in: no alarm ends before it starts, and there are as many as the rules
    // give each cable's readings.
    void filesOfTwoCables()
    {
        QRandomGenerator rng(20261210);
        const QDateTime start(QDate(2026, 12, 8), QTime(2, 40, 0));
        AlarmSettings limits;
        limits.High = 24;
        limits.Low = 21;
        limits.HoldSeconds = 5;
        limits.Unit = QStringLiteral("°C");
        int expectedAlarms = 0, above = 0, below = 0;
        double sumC = 0;
        int count = 0;
        QStringList files;
        for (const bool fahrenheit : {false, true}) {
            // A random walk through both limits, a reading a second for ten minutes.
            MeasurementTable rows;
            std::vector<std::pair<qint64, double>> inTime;
            double v = 22.5;
            for (int i = 0; i < 600; ++i) {
                v = qBound(17.0, v + rng.bounded(1.0) - 0.5, 28.0);
                const double shown = fahrenheit ? v * 9 / 5 + 32 : v;
                const QString text = QString::number(shown, 'f', 1);
                rows.appendRow({i + 1, start.addSecs(i).toString("HH:mm:ss"), text,
                                fahrenheit ? "?" : "#", start.addSecs(i)});
                const double c = fahrenheit ? (text.toDouble() - 32) * 5 / 9 : text.toDouble();
                sumC += QString::number(c, 'f', 1).toDouble();
                ++count;
                inTime.push_back({start.addSecs(i).toMSecsSinceEpoch(), c});
            }
            AlarmRules rules;
            rules.setSettings(limits);
            QList<AlarmEvent> events;
            AlarmMoment m;
            for (const auto &[ms, c] : inTime) {
                m = {QDateTime::fromMSecsSinceEpoch(ms), ms};
                events += rules.feed(m, QString::number(c, 'f', 1).toDouble(), "°C");
            }
            rules.closeAtEnd(events, m);
            // The time above and below, each reading to the next of its own cable.
            for (size_t i = 0; i + 1 < inTime.size(); ++i) {
                const double c = QString::number(inTime[i].second, 'f', 1).toDouble();
                above += c > 24 ? 1 : 0;
                below += c < 21 ? 1 : 0;
            }
            for (const AlarmEvent &e : events)
                expectedAlarms += !e.Start || e.OpenAtEnd;
            // Stored in shuffled blocks of a minute, as files joined out of order are.
            std::vector<int> blocks(10);
            std::iota(blocks.begin(), blocks.end(), 0);
            std::shuffle(blocks.begin(), blocks.end(), std::mt19937(rng.generate()));
            MeasurementTable shuffled;
            for (const int b : blocks)
                for (int i = b * 60; i < b * 60 + 60; ++i)
                    shuffled.appendRow(rows.row(i));
            files << dir.filePath(fahrenheit ? "b.csv" : "a.csv");
            QVERIFY(DataFiles::saveCsv(shuffled, files.last()));
        }
        const QString pdf = dir.filePath("two.pdf");
        const QStringList args{"--report", pdf, "--high", "24C", "--low", "21", "--hold", "5"};
        const Ran refused = run(args + files);
        QCOMPARE(refused.Status, 2);
        QVERIFY2(refused.Err.contains("recordings of 2 cables") &&
                     refused.Err.contains("--merge") && refused.Err.contains(files[0]) &&
                     refused.Err.contains(files[1]),
                 qPrintable(refused.Err));
        QVERIFY(!QFile::exists(pdf));
        const Ran merged = run(args + QStringList{"--merge"} + files);
        QVERIFY2(merged.Status == 0, qPrintable(merged.Err));
        const QString text = pdfText(pdf);
        const QString flat = text.simplified();
        QVERIFY2(
            flat.contains("Merged (--merge), the recordings of 2 cables") &&
                flat.contains(QStringLiteral("600 readings of %1 converted to °C.").arg(files[1])),
            qPrintable(flat));
        QVERIFY(!text.contains("°F"));
        // Averaged in one unit: the mean of both files in °C.
        QCOMPARE(figures(text)[4], QStringLiteral("Mean %1").arg(sumC / count, 0, 'f', 2));
        // Stored out of order, taken in time order: the time beyond the limits is each cable's.
        const auto span = [](int s) {
            return s >= 60 ? QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60)
                           : QStringLiteral("%1 s").arg(s);
        };
        QVERIFY2(flat.contains(QStringLiteral("Time above 24.00 °C %1").arg(span(above))) &&
                     flat.contains(QStringLiteral("Time below 21.00 °C %1").arg(span(below))),
                 qPrintable(QStringLiteral("%1 / %2: %3").arg(above).arg(below).arg(flat)));
        QVERIFY(merged.Err.contains(QStringLiteral("are not in time order")));
        const QRegularExpression alarm(
            QStringLiteral("^\\s*(high|low|no reading)\\s+(\\S+ \\S+)\\s+(\\S+ \\S+|still on)"),
            QRegularExpression::MultilineOption);
        int listed = 0;
        for (auto it = alarm.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch a = it.next();
            ++listed;
            if (a.captured(3) == "still on")
                continue;
            const auto at = [](const QString &t) {
                return QDateTime::fromString(t, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            };
            QVERIFY2(at(a.captured(2)) <= at(a.captured(3)), qPrintable(a.captured(0)));
        }
        QVERIFY(expectedAlarms > 2);
        QCOMPARE(listed, qMin(expectedAlarms, 45));

        // Journals name their cables: two cables are refused even hours apart; one cable's
        // two journals are one recording, its name on the page.
        auto journal = [&](const QString &name, const QString &cable, int hour) {
            MeasurementTable rows;
            const QDateTime at(QDate(2026, 12, 8), QTime(hour, 0, 0));
            for (int i = 0; i < 30; ++i)
                rows.appendRow(
                    {i + 1, at.addSecs(i).toString("HH:mm:ss"), "22.0", "#", at.addSecs(i)});
            QByteArray bytes = DataFiles::textFileHeader(at.date());
            bytes += DataFiles::markLine("connected", rows.capturedPacked(0), cable);
            DataFiles::appendTextRows(bytes, rows, 0, 29, true);
            const QString path = dir.filePath(name);
            QVERIFY(SafeFile::writeWhole(path, bytes, nullptr));
        };
        journal("j1.txt", "kitchen-1", 1);
        journal("j2.txt", "cellar-2", 3);
        journal("j3.txt", "kitchen-1", 5);
        const Ran named = run({"--report", pdf, dir.filePath("j1.txt"), dir.filePath("j2.txt")});
        QCOMPARE(named.Status, 2);
        QVERIFY2(named.Err.contains("kitchen-1: ") && named.Err.contains("cellar-2: "),
                 qPrintable(named.Err));
        const Ran one = run({"--report", pdf, dir.filePath("j1.txt"), dir.filePath("j3.txt")});
        QVERIFY2(one.Status == 0, qPrintable(one.Err));
        QVERIFY(pdfText(pdf).contains(QRegularExpression("Cable: kitchen-1\\s")));
    }

    // One rule for gaps: over random readings with gaps, the report's day table adds up to
    // its statistics (time above and below to the second, alarms to the alarms listed), the
    // window's Statistics and day table say the same of the same file loaded, and no alarm
    // listed runs across a gap.
    void figuresAgreeOverGaps()
    {
        const quint32 seed = qEnvironmentVariableIsSet("TST_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("TST_SEED"))
                                 : QRandomGenerator::global()->generate();
        qInfo("seed %u (TST_SEED gives it again)", seed);
        QRandomGenerator rng(seed);
        MeasurementTable rows;
        QDateTime t(QDate(2026, 11, 30), QTime(21, 0, 0));
        std::vector<qint64> gapsFrom; // the time of each reading a gap follows
        double v = 8;
        for (int i = 0; i < 2500; ++i) {
            v = qBound(2.0, v + rng.bounded(1.0) - 0.5, 14.0);
            rows.appendRow(
                {i + 1, t.toString("HH:mm:ss"),
                 rng.bounded(60) == 0 ? QStringLiteral("----") : QString::number(v, 'f', 1), "#",
                 t});
            const bool gap = rng.bounded(80) == 0;
            if (gap)
                gapsFrom.push_back(t.toMSecsSinceEpoch());
            t = t.addSecs(gap ? 200 + rng.bounded(20000) : 60);
        }
        const QString csv = dir.filePath("gaps.txt"), pdf = dir.filePath("gaps.pdf");
        QVERIFY(DataFiles::saveTable(rows, csv, QDate(2026, 11, 30)));
        {
            // Its rows have times of day only: they are dated back from the file's date, that
            // of its last reading.
            QFile f(csv);
            QVERIFY(
                f.open(QIODevice::ReadWrite) &&
                f.setFileTime(*rows.captured(rows.count() - 1), QFileDevice::FileModificationTime));
        }
        const Ran r = run({"--report", pdf, "--high", "10", "--low", "5", "--hold", "120", csv});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString text = pdfText(pdf);
        const auto seconds = [](const QString &clock) {
            const QStringList p = clock.split(':');
            return p.size() == 3 ? p[0].toInt() * 3600 + p[1].toInt() * 60 + p[2].toInt() : -1;
        };
        // The day table: above, below, alarms.
        int above = 0, below = 0, alarms = 0, days = 0;
        const QRegularExpression day(
            "^\\s*(\\d{4}-\\d\\d-\\d\\d)\\s+\\d+(?:\\s+\\S+){4}\\s+(\\d+:\\d\\d:\\d\\d)\\s+"
            "(\\d+:\\d\\d:\\d\\d)\\s+(\\d+)\\s+\\d+:",
            QRegularExpression::MultilineOption);
        for (auto it = day.globalMatch(text); it.hasNext(); ++days) {
            const QRegularExpressionMatch m = it.next();
            above += seconds(m.captured(2));
            below += seconds(m.captured(3));
            alarms += m.captured(4).toInt();
        }
        QVERIFY2(days >= 3, qPrintable(text));
        // The same rows in the window, loaded: its statistics and day table.
        ScriptedPrompts prompts;
        TFCOMM w;
        AlarmSettings limits;
        limits.High = 10;
        limits.Low = 5;
        limits.HoldSeconds = 120;
        w.setAlarmSettings(limits, false);
        w.LoadTableFromFile(csv, w.cds1, false);
        QCOMPARE(w.cds1->count(), rows.count());
        const StatSummary whole = w.Out->statistics().whole();
        QCOMPARE(int(std::lround(whole.SecondsAbove)), above);
        QCOMPARE(int(std::lround(whole.SecondsBelow)), below);
        int windowAbove = 0, windowAlarms = 0;
        for (const DayFigures &d :
             dailyFigures(*w.Out->timeline(), w.Out->statistics(), w.Alarms->allEntries())) {
            windowAbove += int(std::lround(d.Figures.SecondsAbove));
            windowAlarms += int(d.Alarms);
        }
        QCOMPARE(windowAbove, above);
        QCOMPARE(windowAlarms, alarms);
        // The alarms listed: as many as the days count, none across a gap.
        const QRegularExpression alarm(
            QStringLiteral("^\\s*(high|low|no reading)\\s+(\\S+ \\S+)\\s+(\\S+ \\S+|still on)"),
            QRegularExpression::MultilineOption);
        int listed = 0;
        for (auto it = alarm.globalMatch(text); it.hasNext(); ++listed) {
            const QRegularExpressionMatch a = it.next();
            if (a.captured(3) == "still on")
                continue;
            const auto at = [](const QString &when) {
                return QDateTime::fromString(when, QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                    .toMSecsSinceEpoch();
            };
            for (const qint64 g : gapsFrom)
                QVERIFY2(g < at(a.captured(2)) || g >= at(a.captured(3)),
                         qPrintable(a.captured(0)));
        }
        QVERIFY(alarms > 0);
        QCOMPARE(listed, qMin(alarms, 45));
    }

    // A headless run whose cable is pulled for longer than the gap: its --summary, its report's
    // statistics and its day table give the same time above the limit, the gap left out.
    void summaryAgreesOverAGap()
    {
        const QString data = dir.filePath("pulled.txt"), pdf = dir.filePath("pulled.pdf"),
                      summary = dir.filePath("pulled-summary.txt");
        const Ran r = run({"--headless", "-q", "--interval", "0", "--duration", "19", "--high", "0",
                           "--unplug-after", "3", "--replug-after", "16", "-o", data, "--summary",
                           summary, "--report", pdf});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        QFile f(summary);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString said = QString::fromUtf8(f.readAll());
        const QRegularExpressionMatch above =
            QRegularExpression("Above 0 °C: ([\\d.]+) s").match(said);
        QVERIFY2(above.hasMatch(), qPrintable(said));
        const double seconds = above.captured(1).toDouble();
        // At most 6 s recorded (3 before the pull, 3 after; less when the run starts slowly),
        // never the 13 s without readings.
        QVERIFY2(seconds > 0 && seconds < 10, qPrintable(said));
        const QString text = pdfText(pdf);
        // Each day's (a run across midnight has two, each rounded to the second).
        int daySeconds = 0, days = 0;
        const QRegularExpression day(
            "\\d{4}-\\d\\d-\\d\\d\\s+\\d+(?:\\s+\\S+){4}\\s+(\\d+):(\\d\\d):(\\d\\d)");
        for (auto it = day.globalMatch(text); it.hasNext(); ++days) {
            const QRegularExpressionMatch m = it.next();
            daySeconds +=
                m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 + m.captured(3).toInt();
        }
        QVERIFY2(days > 0, qPrintable(text));
        QVERIFY2(std::abs(daySeconds - seconds) <= 0.5 * days,
                 qPrintable(QStringLiteral("%1 against %2").arg(daySeconds).arg(seconds)));
        if (days > 1)
            return;
        // (Its words as pdftotext spaces them.)
        const QString stated = QRegularExpression("Time above 0.00 °C\\s+(.*)")
                                   .match(text)
                                   .captured(1)
                                   .remove(QLatin1Char(' '));
        QVERIFY2(stated == QStringLiteral("%1s").arg(daySeconds),
                 qPrintable(QStringLiteral("%1 against %2").arg(stated).arg(daySeconds)));
    }

    // Limits set while the window records judge only the readings after them: the window's
    // live log, its report and a report of its saved file (whose trail holds the change) list
    // the same one alarm and print the limits as they changed; limits given to --report
    // replace them, and the page says so.
    void limitsAsTheyChanged()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.RecordSI->setChecked(false);
        for (const char *v : {"A301", "A302", "A303"}) // 30 °C, before any limit
            sendFrame(w, v);
        AlarmSettings limits;
        limits.High = 25;
        w.setAlarmSettings(limits, false);
        for (const char *v : {"A304", "A305", "A200"})
            sendFrame(w, v);
        QCOMPARE(w.cds1->count(), qint64(6));
        QCOMPARE(w.Alarms->log().entries().size(), 2); // one start, one end
        QCOMPARE(w.Alarms->log().entries()[0].BreachStart, *w.cds1->captured(3));
        const QString changed = w.cds1->captured(3)->toString("yyyy-MM-dd HH:mm:ss");
        const QString line = "Alarm limits: none set; from " + changed +
                             ": high above 25.00 °C; hold 0 s, hysteresis 0.50 °C";
        const QRegularExpression alarmRow("^\\s*high\\s+\\d{4}-",
                                          QRegularExpression::MultilineOption);
        w.SummaryReportEntry->trigger();
        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath("changed.pdf"));
        prompts.lastPreviewPaint(&printer);
        const QString fromWindow = pdfText(dir.filePath("changed.pdf"));
        QVERIFY2(fromWindow.simplified().contains(line), qPrintable(fromWindow));
        QCOMPARE(fromWindow.count(alarmRow), 1);
        const QString saved = dir.filePath("changed.txt");
        prompts.messageAnswers.enqueue(int(DialogButton::OK));
        w.SaveTableToFile(w.cds1, saved);
        QVERIFY(QFile::exists(Trail::trailOf(saved)));
        Ran r = run({"--report", dir.filePath("changed-file.pdf"), saved});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString fromFile = pdfText(dir.filePath("changed-file.pdf"));
        QVERIFY2(fromFile.simplified().contains(line), qPrintable(fromFile));
        QCOMPARE(fromFile.count(alarmRow), 1);
        QVERIFY(!fromFile.contains("replace"));
        r = run({"--report", dir.filePath("replaced.pdf"), "--high", "20", saved});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString replaced = pdfText(dir.filePath("replaced.pdf")).simplified();
        QVERIFY2(replaced.contains("Alarm limits: high above 20.00 °C;") &&
                     replaced.contains("The limits given for this report replace those in force "
                                       "while the readings were taken."),
                 qPrintable(replaced));
        // A kept journal holds its limits' changes among its rows: a report of it judges each
        // reading by them too.
        MeasurementTable kept;
        const QDateTime at(QDate(2026, 12, 8), QTime(9, 0, 0));
        for (int i = 0; i < 20; ++i)
            kept.appendRow({i + 1, at.addSecs(i).toString("HH:mm:ss"), "30.0", "#", at.addSecs(i)});
        QByteArray bytes = DataFiles::textFileHeader(at.date());
        DataFiles::appendTextRows(bytes, kept, 0, 9, true);
        bytes += AuditTrail::journalLine(
            AuditEntry::now(10, QStringLiteral("alarm settings"),
                            QStringLiteral("high none, low none, hold 0 s, hysteresis 0.5"),
                            QStringLiteral("high 25 °C, low none, hold 0 s, hysteresis 0.5")));
        DataFiles::appendTextRows(bytes, kept, 10, 19, true);
        const QString journal = dir.filePath("kept-journal.txt");
        QVERIFY(SafeFile::writeWhole(journal, bytes, nullptr));
        r = run({"--report", dir.filePath("journal.pdf"), journal});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString fromJournal = pdfText(dir.filePath("journal.pdf"));
        QVERIFY2(fromJournal.simplified().contains(
                     "Alarm limits: none set; from 2026-12-08 09:00:10: high above 25.00 °C"),
                 qPrintable(fromJournal));
        QVERIFY2(
            fromJournal.contains(QRegularExpression("high\\s+2026-12-08 09:00:10\\s+still on")),
            qPrintable(fromJournal));
    }

    void headlessAndWindowAgreeWithTheirFile()
    {
        // A headless run writes its report when it ends; a report of its data file says the
        // same figures.
        const QString data = dir.filePath("run.txt"), pdf = dir.filePath("run.pdf");
        const Ran r = run({"--headless", "-o", data, "--interval", "0", "--duration", "4", "-q",
                           "--high", "23", "--report", pdf});
        QVERIFY2(r.Status == 0, qPrintable(r.Err));
        const QString fromRun = pdfText(pdf);
        QVERIFY2(fromRun.contains(QStringLiteral("Cable: /sim/")) &&
                     fromRun.contains(QStringLiteral("Sampling interval: every reading")),
                 qPrintable(fromRun));
        const Ran again = run({"--report", dir.filePath("again.pdf"), "--high", "23", data});
        QVERIFY2(again.Status == 0, qPrintable(again.Err));
        const QString fromFile = pdfText(dir.filePath("again.pdf"));
        const QStringList a = figures(fromRun), b = figures(fromFile);
        QCOMPARE(a.mid(0, 6), b.mid(0, 6));
        // Both print the audit trail; the file's report prints the seal its rows and trail
        // give, which --verify checks.
        // (Checked against the key of the runs' state folder, which signed it.)
        QString why;
        const std::optional<SigningKey> key =
            SigningKey::readExisting(dir.filePath("state/tx9-logger/signing-key"), &why);
        QVERIFY2(key, qPrintable(why));
        AllowedSigners runs;
        runs.add(key->publicBlob(), QStringLiteral("tx9-logger@test"));
        const Verify::Result checked = Verify::file(data, {&runs});
        QVERIFY2(checked.What == Verify::Outcome::Intact, qPrintable(checked.Sentence));
        QVERIFY2(fromFile.contains("Seal: " + checked.Seal), qPrintable(fromFile));
        Trail::Contents trail;
        QVERIFY(Trail::read(Trail::trailOf(data), &trail, &why));
        for (const QString &text : {fromRun, fromFile}) {
            QVERIFY(text.contains("Audit trail"));
            for (const char *what :
                 {"session started", "alarm settings", "connected", "session ended"})
                QVERIFY2(text.contains(QLatin1String(what)), what);
        }
        for (const AuditEntry &e : trail.Entries)
            QVERIFY2(fromFile.contains(e.Time), qPrintable(e.Time));
        QVERIFY(!a[0].endsWith(QStringLiteral(" 0")));
        // A report it cannot write is known before the run starts.
        const Ran refused = run({"--headless", "-o", dir.filePath("r2.txt"), "--duration", "1",
                                 "--report", dir.filePath("none/r.pdf")});
        QCOMPARE(refused.Status, 5);
        QVERIFY(!QFile::exists(dir.filePath("r2.txt")) ||
                QFileInfo(dir.filePath("r2.txt")).size() == 0);

        // The window: its report, printed to a PDF file, against a report of its saved table.
        ScriptedPrompts prompts;
        TFCOMM w;
        w.RecordSI->setChecked(false);
        for (const char *v : {"A235", "A241", "A0FA", "A252", "A248", "A239"})
            sendFrame(w, v);
        QCOMPARE(w.SummaryReportEntry->text(), QStringLiteral("Summary Report..."));
        w.SummaryReportEntry->trigger();
        QCOMPARE(prompts.previews, 1);
        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath("window.pdf"));
        // The seal the page shows: the recording's as it is painted; writing it is an entry.
        const QString paintedSeal = w.Out->audit().seal().text();
        prompts.lastPreviewPaint(&printer);
        QCOMPARE(w.Out->audit().entries().back().What, "report written");
        QCOMPARE(w.Out->audit().entries().back().New, dir.filePath("window.pdf"));
        const QString fromWindow = pdfText(dir.filePath("window.pdf"));
        const QString saved = dir.filePath("window.txt");
        QVERIFY(DataFiles::saveTable(*w.cds1, saved, QDate::currentDate()));
        QVERIFY(run({"--report", dir.filePath("window-file.pdf"), saved}).Status == 0);
        const QStringList c = figures(fromWindow),
                          d = figures(pdfText(dir.filePath("window-file.pdf")));
        QCOMPARE(c.mid(0, 6), d.mid(0, 6));
        QCOMPARE(c[0], QStringLiteral("Readings 6"));
        QCOMPARE(c[1], QStringLiteral("With a value 5"));
        QVERIFY2(fromWindow.contains("Seal: " + paintedSeal), qPrintable(fromWindow));
        QVERIFY(fromWindow.contains("sampling interval"));
    }
};

QTEST_MAIN(tst_Report)
#include "tst_Report.moc"
