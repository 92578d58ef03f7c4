// Saving and loading the table in both formats, against two baselines measured on the same
// file in the same run: reading it with cat (the I/O limit) and Python's csv module (what a
// user would script instead).
//   bench_files [--full]    1,000,000 rows; --full adds 10,000,000

#include "BenchUtil.h"
#include "QuietPrompts.h"
#include "app/BackgroundTask.h"
#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

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

// The longest gap between two turns of the event loop while work() runs, in ms. The work
// itself runs from the loop, as a command of the window does.
double longestStall(const std::function<void()> &work)
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
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
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
            again.appendFrom(loaded);
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QuietPrompts prompts; // waits run the event loop, without a window
    Prompts::install(&prompts);
    QTemporaryDir dir;
    measure(1'000'000, dir.path());
    if (app.arguments().contains(QStringLiteral("--full")))
        measure(10'000'000, dir.path());
    return 0;
}
