// Saving and loading the table in both formats, against two baselines measured on the same
// file in the same run: reading it with cat (the I/O limit) and Python's csv module (what a
// user would script instead).
//   bench_files [--full]    1,000,000 rows; --full adds 10,000,000
//   bench_files --window    only the window's commands (stalls, chart picture, report)
//   bench_files --peaks [N] peak memory and time of loading N rows (default 10,000,000) as
//                           text and as XML, and of 2 GB sparse files of both kinds, each
//                           load in a process of its own
//   bench_files --restore [N] the window restoring a recovery journal of N rows (default
//                           10,000,000): its time and the longest event-loop stall

#include "BenchUtil.h"
#include "QuietPrompts.h"
#include "app/BackgroundTask.h"
#include "app/RD7F.h"
#include "output/ChartPicture.h"
#include "output/DataFiles.h"
#include "output/Report.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QPrinter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstring>
#include <qcustomplot.h>

namespace {

double seconds(const std::function<void()> &f)
{
    QElapsedTimer t;
    t.start();
    f();
    return t.nsecsElapsed() / 1e9;
}

double runShell(const QString &command)
{
    return seconds([&] {
        QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    });
}

// The longest gap between two turns of the event loop while work() runs and for settleMs
// after (work it left to the loop, such as the journal's lines), in ms. The work itself runs
// from the loop, as a command of the window does.
double longestStall(const std::function<void()> &work, int settleMs = 20)
{
    double longest = 0;
    QElapsedTimer since;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, since.nsecsElapsed() / 1e6);
        since.restart();
    });
    tick.start(1);
    QEventLoop loop;
    QTimer::singleShot(5, &loop, [&] {
        since.restart();
        work();
        longest = std::max(longest, since.nsecsElapsed() / 1e6);
        QTimer::singleShot(settleMs, &loop, &QEventLoop::quit);
    });
    loop.exec();
    return longest;
}

void fill(MeasurementTable &t, qint64 rows)
{
    std::vector<MeasurementTable::Row> batch;
    int tenths = 235;
    for (qint64 i = 0; i < rows; ++i) {
        tenths = std::clamp(tenths + int(i * 7919 % 7) - 3, -400, 8500);
        const int s = int(i % 86400);
        batch.push_back({qint32(i + 1),
                         QStringLiteral("%1:%2:%3")
                             .arg(s / 3600, 2, 10, QLatin1Char('0'))
                             .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                             .arg(s % 60, 2, 10, QLatin1Char('0')),
                         QString::number(tenths / 10.0, 'f', 1), QStringLiteral("#")});
        if (batch.size() == 65536) {
            t.appendRows(batch);
            batch.clear();
        }
    }
    t.appendRows(batch);
}

void measure(qint64 rows, const QString &dir)
{
    MeasurementTable table;
    fill(table, rows);
    const QString label = QString::number(rows);
    for (const char *ext : {".txt", ".xml"}) {
        const QString path = dir + QStringLiteral("/table") + QLatin1String(ext);
        const double save =
            seconds([&] { DataFiles::saveTable(table, path, QDate::currentDate()); });
        const double mb = QFileInfo(path).size() / 1e6;
        MeasurementTable back;
        const long rssBefore = Bench::statusKb("VmRSS");
        const double load = seconds([&] { DataFiles::loadTable(path, back, false); });
        const long rssAfter = Bench::statusKb("VmRSS");
        const QByteArray name =
            (label + QStringLiteral(" rows ") + QLatin1String(ext + 1)).toUtf8();
        Bench::print((name + " save").constData(), rows / save, "rows/s");
        Bench::print((name + " save").constData(), mb / save, "MB/s");
        Bench::print((name + " load").constData(), rows / load, "rows/s");
        Bench::print((name + " load").constData(), mb / load, "MB/s");
        Bench::print((name + " load memory per row").constData(),
                     (rssAfter - rssBefore) * 1024.0 / double(back.count()), "bytes");
        // The window's way: the save of a snapshot and the load into a table of its own run
        // off the GUI thread; how long did its event loop go without a turn?
        const double saveStall = longestStall([&] {
            const std::shared_ptr<const MeasurementTable> rows = table.snapshot();
            BackgroundTask::run<bool>(QString(), rows->count(), [&](std::atomic<qint64> &done) {
                return DataFiles::saveTable(*rows, path, QDate::currentDate(), &done);
            });
        });
        MeasurementTable again;
        const double loadStall = longestStall([&] {
            MeasurementTable loaded;
            BackgroundTask::run<DataFiles::LoadStatus>(
                QString(), 0, [&](std::atomic<qint64> &done) {
                    return DataFiles::loadTable(path, loaded, false, &done);
                });
            again.appendFrom(std::move(loaded));
        });
        Bench::print((name + " longest event-loop stall, save in the background").constData(),
                     saveStall, "ms (target <= 50)");
        Bench::print((name + " longest event-loop stall, load in the background").constData(),
                     loadStall, "ms (target <= 50)");
        if (QLatin1String(ext) == QLatin1String(".txt")) {
            const double cat = runShell(QStringLiteral("cat '%1' > /dev/null").arg(path));
            Bench::print((name + " baseline cat").constData(), mb / cat, "MB/s");
            // Python times its own reading and writing, without its start-up.
            QProcess python;
            python.start(QStringLiteral("python3"),
                         {QStringLiteral("-c"),
                          QStringLiteral(
                              "import csv,sys,time\n"
                              "t=time.perf_counter()\n"
                              "with open(sys.argv[1],newline='') as f: "
                              "r=list(csv.reader(f,delimiter='\\t'))\n"
                              "u=time.perf_counter()\n"
                              "with open(sys.argv[2],'w',newline='') as g: "
                              "csv.writer(g,delimiter='\\t',lineterminator='\\r\\n').writerows(r)\n"
                              "print(u-t, time.perf_counter()-u)"),
                          path, path + QStringLiteral(".py.txt")});
            python.waitForFinished(-1);
            const QList<QByteArray> times = python.readAllStandardOutput().trimmed().split(' ');
            const double pyRead = times.value(0).toDouble(), pyWrite = times.value(1).toDouble();
            Bench::print((name + " baseline python csv load").constData(), rows / pyRead, "rows/s");
            Bench::print((name + " baseline python csv save").constData(), rows / pyWrite,
                         "rows/s");
            Bench::print((name + " load speed-up over python").constData(), pyRead / load,
                         "x (target >= 2)");
            Bench::print((name + " save speed-up over python").constData(), pyWrite / save,
                         "x (target >= 2)");
        }
    }
}

// The window's own commands on a table of `rows` rows, offscreen, with its journal and grid:
// the longest event-loop stall of a save, a load (emptying the table first), the chart
// picture of a page of `rows` points, and the report's pages.
void measureWindow(qint64 rows, const QString &dir)
{
    TFCOMM w;
    fill(*w.cds1, rows);
    longestStall([] {}, 3000); // the journal writes the rows out
    const QByteArray name = QByteArray::number(rows) + " rows window";
    for (const char *ext : {".txt", ".xml"}) {
        const QString path = dir + QStringLiteral("/window") + QLatin1String(ext);
        const double save = longestStall([&] { w.SaveTableToFile(w.cds1, path); }, 2000);
        const double load = longestStall([&] { w.LoadTableFromFile(path, w.cds1, true); }, 3000);
        Bench::print((name + " " + (ext + 1) + " save, longest stall").constData(), save,
                     "ms (target <= 50)");
        Bench::print((name + " " + (ext + 1) + " load, longest stall").constData(), load,
                     "ms (target <= 50)");
    }
    w.ChartCtl->SetPageSize(int(rows));
    for (qint64 i = 0; i < rows; ++i)
        w.ChartCtl->AddValue(double(i % 900) / 10.0);
    QElapsedTimer t;
    t.start();
    const QImage picture = ChartPicture::render(w.Chtshow);
    Bench::print((name + " chart picture of one page of all rows").constData(),
                 t.nsecsElapsed() / 1e6, "ms");
    // The report as the window makes it, its preview painting into a PDF.
    struct PdfPreview : QuietPrompts
    {
        QString path;
        void printPreview(const std::function<void(QPrinter *)> &paint) override
        {
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(path);
            paint(&printer);
        }
    } preview;
    preview.path = dir + QStringLiteral("/report.pdf");
    Prompts *const before = &Prompts::current();
    Prompts::install(&preview);
    double report = 0;
    const double stall = longestStall([&] {
        t.start();
        w.BtPrintClick();
        report = t.nsecsElapsed() / 1e6;
    });
    Prompts::install(before);
    Bench::print((name + " report, all pages").constData(), report, "ms");
    Bench::print((name + " report, longest stall").constData(), stall, "ms");
}

// One load in this process, for a parent that reads its peak memory: prints
// "<seconds> <rows> <status> <peak kB>".
int loadOne(const QString &path)
{
    const long before = Bench::statusKb("VmHWM");
    MeasurementTable t;
    QElapsedTimer clock;
    clock.start();
    const DataFiles::LoadStatus status = DataFiles::loadTable(path, t, false);
    std::printf("%.3f %lld %d %ld %ld\n", clock.nsecsElapsed() / 1e9, t.count(), int(status),
                Bench::statusKb("VmHWM"), before);
    return 0;
}

void measurePeaks(qint64 rows, const QString &dir)
{
    auto child = [&](const QString &path, const QByteArray &name, double *mbPerS = nullptr) {
        QProcess p;
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--load-one"), path});
        p.waitForFinished(-1);
        const QList<QByteArray> f = p.readAllStandardOutput().trimmed().split(' ');
        const double secs = f.value(0).toDouble();
        const double mb = QFileInfo(path).size() / 1e6;
        Bench::print((name + " load time").constData(), secs, "s");
        Bench::print((name + " load speed").constData(), mb / secs, "MB/s");
        Bench::print((name + " load peak memory").constData(),
                     (f.value(3).toDouble() - f.value(4).toDouble()) / 1024.0, "MB");
        std::printf("%s: %s rows, status %s (0 loaded, 1 failed)\n", name.constData(),
                    f.value(1).constData(), f.value(2).constData());
        if (mbPerS)
            *mbPerS = mb / secs;
        return (f.value(3).toDouble() - f.value(4).toDouble()) / 1024.0;
    };
    {
        MeasurementTable table;
        fill(table, rows);
        for (const char *ext : {".txt", ".xml"})
            DataFiles::saveTable(table, dir + QStringLiteral("/peak") + QLatin1String(ext),
                                 QDate::currentDate());
    }
    const QByteArray label = QByteArray::number(rows) + " rows ";
    const double text = child(dir + QStringLiteral("/peak.txt"), label + "txt");
    double xmlSpeed = 0;
    const double xml = child(dir + QStringLiteral("/peak.xml"), label + "xml", &xmlSpeed);
    Bench::print((label + "xml load memory over text").constData(), xml / text, "x (target <= 2)");
    Bench::print((label + "xml load speed").constData(), xmlSpeed, "MB/s (target >= 100)");
    QFile::remove(dir + QStringLiteral("/peak.txt"));
    QFile::remove(dir + QStringLiteral("/peak.xml"));
    // Files of 2 GB that hold nothing but zeros (sparse: they take no disk).
    for (const char *ext : {".txt", ".xml"}) {
        const QString path = dir + QStringLiteral("/sparse") + QLatin1String(ext);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.resize(qint64(2) << 30);
        f.close();
        child(path, QByteArray("2 GB sparse ") + (ext + 1));
        QFile::remove(path);
    }
}

// A journal that a crashed session left with `rows` rows, restored by a new window.
void measureRestore(qint64 rows, const QString &state)
{
    {
        MeasurementTable table;
        fill(table, rows);
        QDir().mkpath(state + QStringLiteral("/tx9-logger"));
        DataFiles::saveTable(table, state + QStringLiteral("/tx9-logger/journal.txt"),
                             QDate::currentDate());
    }
    struct Yes : QuietPrompts
    {
        QMessageBox::StandardButton question(const QString &, const QString &,
                                             QMessageBox::StandardButtons,
                                             QMessageBox::Icon) override
        {
            return QMessageBox::Yes;
        }
    } yes;
    Prompts *const before = &Prompts::current();
    Prompts::install(&yes);
    TFCOMM w;
    QElapsedTimer t;
    double restore = 0;
    const double stall = longestStall([&] {
        t.start();
        w.offerRecovery();
        restore = t.nsecsElapsed() / 1e9;
    });
    Prompts::install(before);
    const QByteArray name = QByteArray::number(rows) + " rows journal restore";
    Bench::print((name + " rows back").constData(), double(w.cds1->count()), "");
    Bench::print((name + " time").constData(), restore, "s");
    Bench::print((name + " longest event-loop stall").constData(), stall, "ms");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && !std::strcmp(argv[1], "--load-one")) {
        QCoreApplication app(argc, argv);
        return loadOne(QString::fromLocal8Bit(argv[2]));
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QuietPrompts prompts; // waits run the event loop, without a window
    Prompts::install(&prompts);
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit()); // the window's journal goes here
    if (const qsizetype at = app.arguments().indexOf(QStringLiteral("--peaks")); at > 0) {
        const qint64 rows = app.arguments().value(at + 1).toLongLong();
        measurePeaks(rows > 0 ? rows : 10'000'000, dir.path());
        return 0;
    }
    if (const qsizetype at = app.arguments().indexOf(QStringLiteral("--restore")); at > 0) {
        const qint64 rows = app.arguments().value(at + 1).toLongLong();
        measureRestore(rows > 0 ? rows : 10'000'000, dir.path());
        return 0;
    }
    if (app.arguments().contains(QStringLiteral("--window"))) {
        measureWindow(1'000'000, dir.path());
        return 0;
    }
    measure(1'000'000, dir.path());
    measureWindow(1'000'000, dir.path());
    if (app.arguments().contains(QStringLiteral("--full")))
        measure(10'000'000, dir.path());
    return 0;
}
