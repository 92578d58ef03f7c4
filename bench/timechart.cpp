// The time chart at ten thousand to ten million rows: a redraw of the whole recording, a pan
// step and a zoom step (offscreen, a 1600x900 chart, antialiased as in the window), the cost
// of a row added to the level of detail, and its memory; against QCustomPlot replotting every
// point of one QCPGraph, in the same run.
//
// bench_timechart [--rows N ...] [--picture DIR]  (default: 10k, 100k, 1M and 10M rows)
// --picture: the rows also go through a text data file, saved and loaded back as the window
// loads one (dated from the file), and the chart of that is saved to DIR/time-chart-N.png.

#include "BenchUtil.h"

#include "alarms/Statistics.h"
#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"
#include "timechart/TimeChart.h"
#include "timeline/Timeline.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <qcustomplot.h>

namespace {

const QSize ChartSize(1600, 900);

// A recording of rows readings, one every 2 s: a cold room's daily cycle and a slow drift with
// noise, door openings (spikes) now and then, a few over-range readings and a few gaps.
struct Recording
{
    std::vector<qint64> Times;
    std::vector<float> Values;
};

Recording recording(qint64 rows)
{
    Recording r;
    r.Times.reserve(size_t(rows));
    r.Values.reserve(size_t(rows));
    QRandomGenerator rng(7);
    qint64 t = QDateTime(QDate(2026, 5, 1), QTime(0, 0)).toMSecsSinceEpoch();
    double drift = 0;
    for (qint64 i = 0; i < rows; ++i) {
        const quint32 what = rng.bounded(1000000);
        t += what < 30 ? 3'600'000 : 2000;
        drift += rng.bounded(0.02) - 0.01 - drift * 0.0001;
        const double day = double(t % 86'400'000) / 86'400'000 * 2 * M_PI;
        float value = float(4 + 2.5 * std::sin(day) + drift + rng.bounded(0.3));
        if (what >= 999995)
            value = TimeSeries::Above;
        else if (what >= 999950)
            value += float(5 + rng.bounded(15.0)); // the door was open
        r.Times.push_back(t);
        r.Values.push_back(value);
    }
    return r;
}

// Which rows are measured: "" for the recording in time order, else how they came.
const char *order = "";

void print(qint64 rows, const char *figure, double value, const char *unit)
{
    std::printf("time chart, %lld rows%s: %s: %.3f %s\n", static_cast<long long>(rows), order,
                figure, value, unit);
    std::fflush(stdout);
}

// The recording's rows in random time order, as a merge of files or a clock set back again and
// again could give them: every row out of order starts a run of its own.
Recording shuffled(const Recording &r)
{
    std::vector<size_t> order(r.Times.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    QRandomGenerator rng(11);
    for (size_t i = order.size(); i > 1; --i)
        std::swap(order[i - 1], order[size_t(rng.bounded(quint64(i)))]);
    Recording out;
    for (const size_t i : order) {
        out.Times.push_back(r.Times[i]);
        out.Values.push_back(r.Values[i]);
    }
    return out;
}

double msOf(const std::function<void()> &step)
{
    QElapsedTimer timer;
    timer.start();
    step();
    return double(timer.nsecsElapsed()) / 1e6;
}

void chartOf(qint64 rows, const Recording &rec, bool everything, const QString &pictures);

void run(qint64 rows, const QString &pictures)
{
    const Recording rec = recording(rows);
    chartOf(rows, rec, true, pictures);
    // Rows far out of time order, at a size a merge of files reaches.
    if (rows <= 2'000'000) {
        order = " in random time order";
        chartOf(rows, shuffled(rec), false, pictures);
        order = "";
    }
}

// The level of detail's costs (everything), the window's chart over a table of rec, and
// (everything) the baseline.
void chartOf(qint64 rows, const Recording &rec, bool everything, const QString &pictures)
{

    // The level of detail alone: its cost per row (medians of slices) and its memory.
    if (everything) {
        const long before = Bench::statusKb("VmRSS");
        TimeSeries series;
        std::vector<double> perRow;
        constexpr qint64 Slice = 65536;
        for (qint64 at = 0; at < rows; at += Slice) {
            const qint64 end = std::min(rows, at + Slice);
            QElapsedTimer timer;
            timer.start();
            for (qint64 i = at; i < end; ++i)
                series.append(rec.Times[size_t(i)], rec.Values[size_t(i)]);
            perRow.push_back(double(timer.nsecsElapsed()) / 1e3 / double(end - at));
        }
        const long after = Bench::statusKb("VmRSS");
        print(rows, "append per row, median", Bench::median(perRow), "us");
        print(rows, "memory per row", double(after - before) * 1024 / double(rows), "bytes");
    }

    // The window's chart over a table of the rows.
    MeasurementTable table;
    {
        std::vector<MeasurementTable::IdRow> idRows;
        const quint32 unit = table.internText(u"#");
        QHash<int, quint32> timeIds; // by the second of the day
        QHash<int, quint32> valueIds;
        constexpr qint64 Slice = 1 << 20;
        for (qint64 at = 0; at < rows; at += Slice) {
            idRows.clear();
            for (qint64 i = at; i < std::min(rows, at + Slice); ++i) {
                const float v = rec.Values[size_t(i)];
                const int key = std::isinf(v) ? 1 << 30 : int(std::lround(v * 10));
                auto id = valueIds.find(key);
                if (id == valueIds.end())
                    id = valueIds.insert(
                        key, table.internText(std::isinf(v) ? QStringLiteral("  OL")
                                                            : QString::number(key / 10.0, 'f', 1)));
                const QDateTime at =
                    QDateTime::fromMSecsSinceEpoch(rec.Times[size_t(i)], Qt::OffsetFromUTC, 7200);
                const int second = at.time().msecsSinceStartOfDay() / 1000;
                auto time = timeIds.find(second);
                if (time == timeIds.end())
                    time = timeIds.insert(
                        second, table.internText(at.time().toString(QStringLiteral("HH:mm:ss"))));
                idRows.push_back({qint32(i + 1), *time, *id, unit, MeasurementTable::packTime(at)});
            }
            table.appendRows(idRows);
        }
    }
    Timeline timeline;
    const double placed = msOf([&] { timeline.follow(&table); });
    print(rows, "placing a table's rows, per row", placed * 1000 / double(rows), "us");

    // The statistics' sums, the mean kinetic temperature's among them, as rows come.
    TableStatistics stats(table);
    TimeChart chart(timeline);
    chart.setStatistics(&stats);
    chart.plot()->setFixedSize(ChartSize);
    chart.show();
    QApplication::processEvents();
    auto medianOf = [](int times, const std::function<void()> &step) {
        std::vector<double> ms;
        for (int i = 0; i < times; ++i)
            ms.push_back(msOf(step));
        return Bench::median(ms);
    };
    chart.showAll();
    print(rows, "redraw of the whole recording, median", medianOf(21, [&] { chart.replotNow(); }),
          "ms");
    // The mean kinetic temperature of the view (the whole recording: every row), from the sums.
    print(rows, "MKT of the view, median",
          medianOf(101,
                   [&] {
                       if (!chart.viewMkt())
                           std::abort();
                   }),
          "ms");
    // From a tenth of the recording: a pan step, then zoom steps in and out.
    const QCPRange all = chart.view();
    chart.setView(all.lower + all.size() * 0.45, all.lower + all.size() * 0.55);
    chart.setFollow(false);
    int step = 0;
    print(rows, "pan step, median",
          medianOf(21,
                   [&] {
                       chart.pan(++step % 10 < 5 ? 0.1 : -0.1);
                       chart.replotNow();
                   }),
          "ms");
    step = 0;
    print(rows, "zoom step, median",
          medianOf(21,
                   [&] {
                       chart.zoom(++step % 10 < 5 ? 0.8 : 1.25);
                       chart.replotNow();
                   }),
          "ms");

    if (!pictures.isEmpty() && !everything) {
        chart.showAll();
        chart.replotNow();
        chart.grab().save(pictures + QStringLiteral("/time-chart-random-%1.png").arg(rows));
    }
    if (!pictures.isEmpty() && everything) {
        // The file a user would load: saved, then read back as the window reads it.
        const QString file = pictures + QStringLiteral("/recording-%1.txt").arg(rows);
        if (!DataFiles::saveTable(table, file, QDate::currentDate())) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return;
        }
        MeasurementTable loaded, shown;
        QElapsedTimer timer;
        timer.start();
        DataFiles::loadTable(file, loaded, false);
        print(rows, "loading the text file", double(timer.elapsed()), "ms");
        Timeline fromFile;
        fromFile.follow(&shown);
        timer.restart();
        fromFile.appendBatch(
            shown, std::move(loaded),
            {Timeline::Why::Loaded, QFileInfo(file).lastModified().date(), {}, {}, {}});
        print(rows, "placing the loaded rows", double(timer.elapsed()), "ms");
        TimeChart window(fromFile);
        window.resize(1200, 640);
        window.show();
        window.showAll();
        window.replotNow();
        window.grab().save(pictures + QStringLiteral("/time-chart-%1.png").arg(rows));
        QFile::remove(file);
    }

    // The baseline: every point in one QCPGraph.
    if (everything) {
        QCustomPlot plot;
        plot.setFixedSize(ChartSize);
        QCPGraph *graph = plot.addGraph();
        QVector<double> keys, values;
        keys.reserve(rows);
        values.reserve(rows);
        for (qint64 i = 0; i < rows; ++i) {
            const float v = rec.Values[size_t(i)];
            keys.push_back(double(rec.Times[size_t(i)]) / 1000);
            values.push_back(std::isinf(v) ? 855 : v);
        }
        graph->setData(keys, values, true);
        graph->setAntialiased(true);
        plot.rescaleAxes();
        plot.show();
        QApplication::processEvents();
        print(rows, "QCustomPlot replot of every point, median",
              medianOf(5, [&] { plot.replot(QCustomPlot::rpImmediateRefresh); }), "ms");
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<qint64> counts;
    QString pictures;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--rows"))
            counts.push_back(args[i + 1].toLongLong());
        if (args[i] == QLatin1String("--picture"))
            pictures = args[i + 1];
    }
    if (counts.empty())
        counts = {10'000, 100'000, 1'000'000, 10'000'000};
    if (counts.size() == 1) {
        run(counts.front(), pictures);
        return 0;
    }
    // Each size in a process of its own: memory freed by one is not counted for the next.
    for (const qint64 rows : counts) {
        QStringList childArgs{QStringLiteral("--rows"), QString::number(rows)};
        if (!pictures.isEmpty())
            childArgs << QStringLiteral("--picture") << pictures;
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), childArgs);
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            return 1;
    }
    return 0;
}
