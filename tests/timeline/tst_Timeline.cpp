// The time series' level of detail against the rows themselves, and the rules that place rows
// in time: gaps, runs, and dates for rows that carry only a time of day.

#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "timeline/FileDates.h"
#include "timeline/Timeline.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>

class TestTimeline : public QObject
{
    Q_OBJECT
private slots:
    void reductionIsExact();
    void rowsOutOfOrderAreMerged();
    void mergedRowsKeepTheirRealGaps();
    void gapRules_data();
    void gapRules();
    void fileDates_data();
    void fileDates();
    void fileRowsAreDatedAndSpacedByThemselves();
    void journalKeepsTheBreaks();
};

namespace {

using Summary = TimeSeries::Summary;

// The rows of [first, end) summed up one by one.
Summary bruteSummary(const TimeSeries &s, qint64 first, qint64 end)
{
    Summary b;
    for (qint64 i = first; i < end; ++i)
        b.add(s.value(i));
    return b;
}

// The column of [from, from + n * width) that time t falls in, as the series cuts them.
int columnOf(double t, double from, double width, int n)
{
    int k = int((t - from) / width);
    while (k > 0 && t < from + k * width)
        --k;
    while (k < n - 1 && t >= from + (k + 1) * width)
        ++k;
    return k;
}

bool same(const Summary &a, const Summary &b)
{
    if (a.Count != b.Count || a.Flags != b.Flags)
        return false;
    if (a.Count == 0)
        return true;
    return a.Min == b.Min && a.Max == b.Max &&
           std::abs(a.Sum - b.Sum) <= 1e-6 * (1 + std::abs(b.Sum));
}

// Every column of every run over [from, to) in n columns, against the rows placed in columns
// by their times.
void checkColumns(const TimeSeries &s, double from, double to, int n)
{
    const double width = (to - from) / n;
    std::vector<TimeSeries::Column> columns;
    for (const TimeSeries::Run &run : s.runs()) {
        s.columns(run, from, to, n, columns);
        QCOMPARE(qsizetype(columns.size()), qsizetype(n));
        std::vector<Summary> expected(static_cast<size_t>(n));
        std::vector<qint64> firstRow(size_t(n), -1), lastRow(size_t(n), -1);
        for (qint64 i = run.First; i < run.End; ++i) {
            const double t = double(s.timeMs(i));
            if (t < from || t >= to)
                continue;
            const int k = columnOf(t, from, width, n);
            expected[size_t(k)].add(s.value(i));
            if (firstRow[size_t(k)] < 0)
                firstRow[size_t(k)] = i;
            lastRow[size_t(k)] = i;
        }
        for (int k = 0; k < n; ++k) {
            const TimeSeries::Column &c = columns[size_t(k)];
            if (firstRow[size_t(k)] < 0) {
                QVERIFY2(c.empty(), qPrintable(QStringLiteral("column %1 of %2").arg(k).arg(n)));
                continue;
            }
            QCOMPARE(c.First, firstRow[size_t(k)]);
            QCOMPARE(c.End, lastRow[size_t(k)] + 1);
            QVERIFY2(same(c.S, expected[size_t(k)]),
                     qPrintable(QStringLiteral("column %1 of %2: min %3/%4 max %5/%6 count %7/%8")
                                    .arg(k)
                                    .arg(n)
                                    .arg(c.S.Min)
                                    .arg(expected[size_t(k)].Min)
                                    .arg(c.S.Max)
                                    .arg(expected[size_t(k)].Max)
                                    .arg(c.S.Count)
                                    .arg(expected[size_t(k)].Count)));
        }
    }
}

// The merged columns over [from, to) in n columns against every row placed by its time: the
// same summaries, the earliest and latest reading of each (ties: the first row).
void checkMerged(const TimeSeries &s, double from, double to, int n)
{
    const double width = (to - from) / n;
    std::vector<TimeSeries::Column> columns;
    s.mergedColumns(from, to, n, columns);
    QCOMPARE(qsizetype(columns.size()), qsizetype(n));
    std::vector<Summary> expected(static_cast<size_t>(n));
    std::vector<qint64> firstRow(size_t(n), -1), lastRow(size_t(n), -1), rowsIn(size_t(n), 0);
    for (qint64 i = 0; i < s.rows(); ++i) {
        const double t = double(s.timeMs(i));
        if (t < from || t >= to)
            continue;
        const int k = columnOf(t, from, width, n);
        expected[size_t(k)].add(s.value(i));
        ++rowsIn[size_t(k)];
        qint64 &f = firstRow[size_t(k)], &l = lastRow[size_t(k)];
        if (f < 0 || s.timeMs(i) < s.timeMs(f))
            f = i;
        if (l < 0 || s.timeMs(i) >= s.timeMs(l))
            l = i;
    }
    for (int k = 0; k < n; ++k) {
        const TimeSeries::Column &c = columns[size_t(k)];
        if (firstRow[size_t(k)] < 0) {
            QVERIFY(c.empty());
            continue;
        }
        QCOMPARE(c.End - c.First, rowsIn[size_t(k)]);
        QCOMPARE(c.FirstRow, firstRow[size_t(k)]);
        QCOMPARE(s.timeMs(c.LastRow), s.timeMs(lastRow[size_t(k)]));
        QVERIFY(same(c.S, expected[size_t(k)]));
    }
}

} // namespace

// Rows in random time order (a merge of files, a clock set back again and again): every row
// out of order is a run of its own, and the chart draws them merged, from the rows in time
// order. Its columns, what is in view, the nearest row and the time range are exact, while
// rows keep coming in and out of order.
void TestTimeline::rowsOutOfOrderAreMerged()
{
    for (quint32 seed = 1; seed <= 6; ++seed) {
        QRandomGenerator rng(seed);
        TimeSeries s;
        const qint64 base = 1'700'000'000'000;
        const int total = 3000 + int(rng.bounded(20000));
        for (int i = 0; i < total; ++i) {
            // Mostly random times; stretches in order now and then (the time order then grows
            // without being built again).
            const bool inOrder = (i / 500) % 3 == 2 && i > 0;
            const qint64 t = inOrder ? s.timeMs(i - 1) + qint64(rng.bounded(3000))
                                     : base + qint64(rng.bounded(86'400'000));
            const quint32 what = rng.bounded(1000);
            const float value = what >= 990   ? TimeSeries::NoNumber
                                : what >= 985 ? TimeSeries::Above
                                              : float(20 + rng.bounded(10.0));
            s.append(t, value);
            if (i % 4000 == 3999 || i == total - 1) {
                QVERIFY(s.manyRuns());
                qint64 first = 0, last = 0;
                QVERIFY(s.timeRange(&first, &last));
                qint64 lo = std::numeric_limits<qint64>::max(), hi = 0;
                for (qint64 r = 0; r < s.rows(); ++r) {
                    lo = std::min(lo, s.timeMs(r));
                    hi = std::max(hi, s.timeMs(r));
                }
                QCOMPARE(first, lo);
                QCOMPARE(last, hi);
                const double span = double(last - first) + 1;
                for (const int n : {1, 9, 700}) {
                    checkMerged(s, double(first), double(last) + 1, n);
                    const double a = double(first) + rng.bounded(span);
                    checkMerged(s, a, a + 1 + rng.bounded(span / 20), n);
                    if (QTest::currentTestFailed())
                        return;
                }
                const double a = double(first) + rng.bounded(span), b = a + rng.bounded(span);
                Summary inView;
                for (qint64 r = 0; r < s.rows(); ++r)
                    if (double(s.timeMs(r)) >= a && double(s.timeMs(r)) < b)
                        inView.add(s.value(r));
                QVERIFY(same(s.summaryIn(a, b), inView));
                const double at = double(first) + rng.bounded(span);
                double best = std::numeric_limits<double>::infinity();
                for (qint64 r = 0; r < s.rows(); ++r)
                    best = std::min(best, std::abs(double(s.timeMs(r)) - at));
                QCOMPARE(std::abs(double(s.timeMs(s.nearest(at))) - at), best);
            }
        }
    }
}

// Two files of the same day merged row by row at random (a reading a minute, and a two-hour
// hole in both): the jumps between rows that came one after the other are no gaps; the hole,
// which no row fills, is one, found again after more rows come in and out of order.
void TestTimeline::mergedRowsKeepTheirRealGaps()
{
    MeasurementTable table, file;
    Timeline timeline;
    timeline.follow(&table);
    const QDateTime start(QDate(2026, 12, 8), QTime(0, 0));
    std::vector<int> minutes;
    for (int m = 0; m < 1440; ++m)
        if (m < 600 || m >= 720)
            minutes.push_back(m);
    QRandomGenerator rng(5);
    for (size_t i = minutes.size(); i > 1; --i)
        std::swap(minutes[i - 1], minutes[size_t(rng.bounded(quint64(i)))]);
    for (const int m : minutes)
        file.appendRow({m + 1, start.addSecs(m * 60).toString(QStringLiteral("HH:mm:ss")),
                        QStringLiteral("21.0"), QStringLiteral("#"), start.addSecs(m * 60)});
    timeline.appendBatch(table, std::move(file), {});
    const TimeSeries &s = timeline.series();
    QVERIFY(s.manyRuns());
    auto check = [&] {
        QCOMPARE(timeline.gaps().size(), size_t(1));
        const Timeline::Gap &g = timeline.gaps().front();
        QCOMPARE(g.FromMs, start.addSecs(599 * 60).toMSecsSinceEpoch());
        QCOMPARE(g.ToMs, start.addSecs(720 * 60).toMSecsSinceEpoch());
        QVERIFY(timeline.gapAt(double(start.addSecs(650 * 60).toMSecsSinceEpoch())));
    };
    check();
    // A reading in time order after the last: still the one gap; one inside the hole's second
    // hour: the gap shrinks to the first.
    table.appendRow({9999, QStringLiteral("00:00:00"), QStringLiteral("21.5"), QStringLiteral("#"),
                     start.addSecs(1440 * 60)});
    check();
    table.appendRow({9999, QStringLiteral("11:30:00"), QStringLiteral("21.5"), QStringLiteral("#"),
                     start.addSecs(690 * 60)});
    QCOMPARE(timeline.gaps().size(), size_t(2)); // 09:59 to 11:30, 11:30 to 12:00
    QCOMPARE(timeline.gaps().front().ToMs, start.addSecs(690 * 60).toMSecsSinceEpoch());
}

void TestTimeline::reductionIsExact()
{
    // Random recordings: mostly a slow walk with spikes, readings without numbers, over-range
    // markers, steps back in time (new runs) and jumps forward; checked at several zooms while
    // they grow.
    for (quint32 seed = 1; seed <= 12; ++seed) {
        QRandomGenerator rng(seed);
        TimeSeries s;
        qint64 t = 1'700'000'000'000;
        float v = 20;
        const int total = 2000 + int(rng.bounded(30000));
        for (int i = 0; i < total; ++i) {
            const quint32 what = rng.bounded(1000);
            if (what < 3)
                t -= qint64(rng.bounded(3'600'000)); // the clock set back
            else if (what < 8)
                t += qint64(rng.bounded(86'400'000)); // a long silence
            else
                t += 500 + qint64(rng.bounded(1500));
            v += float(rng.bounded(2.0) - 1.0);
            float value = v;
            if (what >= 990)
                value = v + float(rng.bounded(500.0)) - 250; // a spike
            else if (what >= 980)
                value = TimeSeries::NoNumber;
            else if (what >= 975)
                value = TimeSeries::Above;
            else if (what >= 972)
                value = TimeSeries::Below;
            s.append(t, value, what >= 960 && what < 965, what >= 965 && what < 967);
            if (i % 5000 == 4999 || i == total - 1) {
                qint64 first = 0, last = 0;
                QVERIFY(s.timeRange(&first, &last));
                const double span = double(last - first) + 1;
                for (const int n : {1, 7, 333, 1600}) {
                    checkColumns(s, double(first), double(last) + 1, n);
                    const double a = double(first) + rng.bounded(span);
                    const double b = a + 1 + rng.bounded(span / 50);
                    checkColumns(s, a, b, n);
                    if (QTest::currentTestFailed())
                        return;
                }
                // Any span of rows, and what is in view, as the rows say.
                for (int k = 0; k < 40; ++k) {
                    const qint64 a = qint64(rng.bounded(quint64(s.rows())));
                    const qint64 b = a + qint64(rng.bounded(quint64(s.rows() - a + 1)));
                    QVERIFY(same(s.summary(a, b), bruteSummary(s, a, b)));
                }
                const double a = double(first) + rng.bounded(span), b = a + rng.bounded(span);
                Summary inView;
                for (qint64 i = 0; i < s.rows(); ++i)
                    if (double(s.timeMs(i)) >= a && double(s.timeMs(i)) < b)
                        inView.add(s.value(i));
                QVERIFY(same(s.summaryIn(a, b), inView));
            }
        }
        // No run goes back in time, so no line is ever joined backwards.
        for (const TimeSeries::Run &run : s.runs())
            for (qint64 i = run.First + 1; i < run.End; ++i)
                QVERIFY(s.timeMs(i) >= s.timeMs(i - 1));
    }
}

namespace {

// A scripted recording: at each step (seconds from the start) a reading arrives, is stored,
// or something happens.
struct Step
{
    double At;
    char What; // 'a' arrives only, 's' arrives and is stored, 'r' stored without an arrival,
               // 'c' connected, 'd' disconnected, 'l' cable lost, 'D' downloading on,
               // 'U' downloading off, 'i' interval = Arg, 'b' clock stepped back by Arg s
    int Arg = 0;
};

} // namespace

void TestTimeline::gapRules_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QString>("gaps");   // reason letters of the gaps, in order
    QTest::addColumn<QString>("breaks"); // rows the line breaks before (after row 0)
    QTest::addColumn<int>("runs");

    auto every = [](double from, double to, double step, char what) {
        QList<Step> s;
        for (double t = from; t < to; t += step)
            s << Step{t, what};
        return s;
    };
    QTest::newRow("readings every second") << every(0, 60, 1, 's') << ""
                                           << "" << 1;
    // The repeat filter: readings arrive all the time, one is stored a minute.
    QTest::newRow("repeat filter keeps the line whole")
        << (QList<Step>{{0, 's'}} + every(1, 60, 1, 'a') + QList<Step>{{60, 's'}}) << ""
        << "" << 1;
    QTest::newRow("15 s without readings is a gap")
        << (every(0, 5, 1, 's') + every(20, 25, 1, 's')) << "S"
        << "5" << 1;
    QTest::newRow("9 s without readings is not")
        << (every(0, 5, 1, 's') + every(13, 18, 1, 's')) << ""
        << "" << 1;
    // Interval 20: a gap is more than a minute without readings.
    QTest::newRow("interval 20: 50 s is not a gap")
        << (QList<Step>{{0, 'i', 20}} + every(0, 5, 1, 's') + every(55, 60, 1, 's')) << ""
        << "" << 1;
    QTest::newRow("interval 20: 70 s is")
        << (QList<Step>{{0, 'i', 20}} + every(0, 5, 1, 's') + every(75, 80, 1, 's')) << "S"
        << "5" << 1;
    QTest::newRow("interval changed to 1 after: 15 s is")
        << (QList<Step>{{0, 'i', 20}} + every(0, 5, 1, 's') + QList<Step>{{6, 'i', 1}} +
            every(20, 25, 1, 's'))
        << "S"
        << "5" << 1;
    QTest::newRow("disconnect and connect")
        << (every(0, 5, 1, 's') + QList<Step>{{5, 'd'}, {6, 'c'}} + every(7, 10, 1, 's')) << "d"
        << "5" << 1;
    QTest::newRow("lost cable") << (every(0, 5, 1, 's') + QList<Step>{{5, 'l'}} +
                                    every(40, 45, 1, 's'))
                                << "l"
                                << "5" << 1;
    // A download: rows in a burst, as received, drawn as a run of their own.
    QTest::newRow("download") << (every(0, 3, 1, 's') + QList<Step>{{3, 'D'}} +
                                  every(3, 3.5, 0.01, 'r') + QList<Step>{{4, 'U'}} +
                                  every(4, 6, 1, 's'))
                              << ""
                              << "" << 3;
    QTest::newRow("clock stepped back: a new run, no gap")
        << (every(0, 5, 1, 's') + QList<Step>{{5, 'b', 3600}} + every(5, 8, 1, 's')) << ""
        << "" << 2;
    QTest::newRow("clock stepped forward an hour: a gap")
        << (every(0, 5, 1, 's') + QList<Step>{{5, 'b', -3600}} + every(5, 8, 1, 's')) << "C"
        << "5" << 1;
}

void TestTimeline::gapRules()
{
    QFETCH(QList<Step>, steps);
    QFETCH(QString, gaps);
    QFETCH(QString, breaks);
    QFETCH(int, runs);

    MeasurementTable table;
    Timeline timeline;
    timeline.follow(&table);
    const qint64 start = QDateTime(QDate(2026, 12, 9), QTime(10, 0)).toMSecsSinceEpoch();
    qint64 wallShift = 0; // what the wall clock was set by
    int no = 0;
    for (const Step &s : steps) {
        const qint64 steady = qint64(s.At * 1000);
        auto store = [&] {
            table.appendRow({++no, QStringLiteral("10:00:00"), QStringLiteral("21.5"),
                             QStringLiteral("#"),
                             QDateTime::fromMSecsSinceEpoch(start + steady + wallShift), steady});
        };
        switch (s.What) {
        case 'a':
            timeline.readingArrived(steady);
            break;
        case 's':
            timeline.readingArrived(steady);
            store();
            break;
        case 'r':
            store();
            break;
        case 'c':
            timeline.breakNext(Timeline::Why::Connected);
            break;
        case 'd':
            timeline.breakNext(Timeline::Why::Disconnected);
            break;
        case 'l':
            timeline.breakNext(Timeline::Why::CableLost);
            break;
        case 'D':
        case 'U':
            timeline.setDownloading(s.What == 'D');
            break;
        case 'i':
            timeline.setIntervalSeconds(s.Arg);
            break;
        case 'b':
            wallShift -= qint64(s.Arg) * 1000;
            break;
        }
    }
    const TimeSeries &series = timeline.series();
    QCOMPARE(series.rows(), table.count());
    QString gotGaps;
    for (const Timeline::Gap &g : timeline.gaps()) {
        const char letter[] = {'S', 'c', 'd', 'l', 'R', 'L', 'C'};
        gotGaps += QLatin1Char(letter[int(g.Reason)]);
        QVERIFY(g.ToMs > g.FromMs);
        QCOMPARE(series.timeMs(g.Row), g.ToMs);
    }
    QCOMPARE(gotGaps, gaps);
    QStringList gotBreaks;
    for (qint64 r = 1; r < series.rows(); ++r)
        if (series.brokenBefore(r) && series.runs().size() == 1)
            gotBreaks << QString::number(r);
    QCOMPARE(gotBreaks.join(QLatin1Char(',')), breaks);
    QCOMPARE(int(series.runs().size()), runs);
    if (runs == 3) // the download's run is tagged, the others are not
        QCOMPARE(int(series.runs()[1].Tag), int(Timeline::Downloaded));
}

void TestTimeline::fileDates_data()
{
    QTest::addColumn<QStringList>("times");
    QTest::addColumn<QDate>("lastDate");
    QTest::addColumn<QStringList>("expected"); // ISO with offset

    QTest::newRow("one day") << QStringList{"10:00:00", "10:00:01", "11:30:00"} << QDate(2026, 6, 2)
                             << QStringList{"2026-06-02T10:00:00+02:00",
                                            "2026-06-02T10:00:01+02:00",
                                            "2026-06-02T11:30:00+02:00"};
    QTest::newRow("across midnight twice")
        << QStringList{"23:59:58", "00:00:01", "12:00:00", "23:59:59", "00:00:00"}
        << QDate(2026, 6, 3)
        << QStringList{"2026-06-01T23:59:58+02:00", "2026-06-02T00:00:01+02:00",
                       "2026-06-02T12:00:00+02:00", "2026-06-02T23:59:59+02:00",
                       "2026-06-03T00:00:00+02:00"};
    // Clocks go back at 03:00 summer time on 25 October 2026: 02:00-03:00 comes twice.
    QTest::newRow("clocks back: the repeated hour is not a day")
        << QStringList{"02:30:00", "02:59:59", "02:00:00", "02:30:00", "03:00:00"}
        << QDate(2026, 10, 25)
        << QStringList{"2026-10-25T02:30:00+02:00", "2026-10-25T02:59:59+02:00",
                       "2026-10-25T02:00:00+01:00", "2026-10-25T02:30:00+01:00",
                       "2026-10-25T03:00:00+01:00"};
    // Clocks go forward at 02:00 on 29 March 2026.
    QTest::newRow("clocks forward")
        << QStringList{"01:59:59", "03:00:00", "03:00:01"} << QDate(2026, 3, 29)
        << QStringList{"2026-03-29T01:59:59+01:00", "2026-03-29T03:00:00+02:00",
                       "2026-03-29T03:00:01+02:00"};
    QTest::newRow("a row without a time takes the one before")
        << QStringList{"08:00:00", "", "08:00:02"} << QDate(2026, 1, 5)
        << QStringList{"2026-01-05T08:00:00+01:00", "2026-01-05T08:00:00+01:00",
                       "2026-01-05T08:00:02+01:00"};
    QTest::newRow("dots as separators")
        << QStringList{"23.00.00", "01.00.00"} << QDate(2026, 1, 5)
        << QStringList{"2026-01-04T23:00:00+01:00", "2026-01-05T01:00:00+01:00"};
}

void TestTimeline::fileDates()
{
    QFETCH(QStringList, times);
    QFETCH(QDate, lastDate);
    QFETCH(QStringList, expected);
    std::vector<int> tods;
    for (const QString &t : times)
        tods.push_back(FileDates::msOfDay(t));
    const std::vector<qint64> got = FileDates::assume(tods, lastDate);
    QStringList text;
    for (const qint64 ms : got)
        text << QDateTime::fromMSecsSinceEpoch(ms)
                    .toOffsetFromUtc(QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc())
                    .toString(Qt::ISODate);
    QCOMPARE(text, expected);
}

void TestTimeline::fileRowsAreDatedAndSpacedByThemselves()
{
    // A file recorded a row a minute, loaded after a live minute: dated from its own date,
    // its own spacing is no gap, and where it begins the line breaks, said as a load.
    MeasurementTable table, file;
    Timeline timeline;
    timeline.follow(&table);
    const QDateTime now(QDate(2026, 12, 9), QTime(9, 0));
    for (int i = 0; i < 3; ++i) {
        timeline.readingArrived(i * 1000);
        table.appendRow({i + 1, QStringLiteral("09:00:0%1").arg(i), QStringLiteral("20.0"),
                         QStringLiteral("#"), now.addSecs(i), i * 1000});
    }
    for (int m = 0; m < 120; ++m)
        file.appendRow({m + 1, QTime(22, 0).addSecs(m * 60).toString(QStringLiteral("HH:mm:ss")),
                        m == 50 ? QStringLiteral("  OL") : QStringLiteral("21.0"),
                        QStringLiteral("#")});
    timeline.appendBatch(table, std::move(file), {Timeline::Why::Loaded, QDate(2026, 12, 8)});
    const TimeSeries &s = timeline.series();
    QCOMPARE(s.rows(), qint64(123));
    QCOMPARE(timeline.assumedDates(), qint64(120));
    // 22:00 to 23:59 ends on the 8th, the day it was written.
    QCOMPARE(QDateTime::fromMSecsSinceEpoch(s.timeMs(122)),
             QDateTime(QDate(2026, 12, 8), QTime(23, 59)));
    QCOMPARE(s.runs().size(), size_t(2));
    QCOMPARE(int(s.runs()[1].Tag), int(Timeline::FromFile));
    QVERIFY(timeline.gaps().empty()); // backwards in time: a run of its own, not a gap
    QCOMPARE(s.summary(3, 123).Flags, quint8(TimeSeries::HasAbove));
    QCOMPARE(s.summary(3, 123).Count, qint64(119));
    // Emptied, it starts again.
    table.clear();
    QCOMPARE(s.rows(), qint64(0));
}

void TestTimeline::journalKeepsTheBreaks()
{
    // A session's journal holds where the connection ended and was made again; a restore of it
    // breaks the line there, even where the readings went on within seconds.
    QTemporaryDir dir;
    const QDateTime t0(QDate(2026, 12, 9), QTime(12, 0));
    QString path;
    {
        MeasurementTable table;
        Journal journal(dir.path());
        journal.attach(&table);
        path = journal.path();
        auto row = [&](int i) {
            table.appendRow({i + 1, QStringLiteral("12:00:0%1").arg(i), QStringLiteral("20.0"),
                             QStringLiteral("#"), t0.addSecs(i), i * 1000});
        };
        for (int i = 0; i < 3; ++i)
            row(i);
        journal.mark("disconnected", t0.addSecs(3));
        journal.mark("connected", t0.addSecs(4));
        for (int i = 5; i < 7; ++i)
            row(i);
        journal.mark("cable-lost", t0.addSecs(7));
        row(8);
        journal.flush();
    }
    MeasurementTable restored;
    const Journal::Contents c = Journal::read(path, restored);
    QCOMPARE(c.Rows, qint64(6));
    QCOMPARE(c.Unreadable, qint64(0));
    QCOMPARE(c.Marks.size(), size_t(3));
    QCOMPARE(c.Marks[0].Row, qint64(3));
    QCOMPARE(c.Marks[2].Word, QByteArray("cable-lost"));

    MeasurementTable table;
    Timeline timeline;
    timeline.follow(&table);
    timeline.appendBatch(table, std::move(restored), {Timeline::Why::Restored, {}, c.Marks});
    QCOMPARE(timeline.gaps().size(), size_t(2));
    QCOMPARE(timeline.gaps()[0].Reason, Timeline::Why::Disconnected);
    QCOMPARE(timeline.gaps()[0].Row, qint64(3));
    QCOMPARE(timeline.gaps()[1].Reason, Timeline::Why::CableLost);
    QVERIFY(timeline.series().brokenBefore(5));

    // Notes in a journal come back on the restored rows, edits and removals applied.
    {
        MeasurementTable first, again;
        Journal journal(dir.filePath("notes"));
        journal.attach(&first);
        for (int i = 0; i < 4; ++i)
            first.appendRow({i + 1, QStringLiteral("12:00:0%1").arg(i), QStringLiteral("20.0"),
                             QStringLiteral("#"), t0.addSecs(i), i * 1000});
        Notes made;
        made.add(t0.addSecs(2).toMSecsSinceEpoch(), 2, 3, QStringLiteral("door"));
        made.add(t0.addSecs(9).toMSecsSinceEpoch(), -1, std::nullopt, QStringLiteral("gone"));
        for (const Notes::Note &n : made.all())
            journal.writeMark(Notes::journalLine(n));
        made.edit(1, QStringLiteral("door open, \"wide\""));
        journal.writeMark(Notes::journalLine(made.all()[0]));
        journal.writeMark(Notes::removedLine(2));
        journal.flush();
        const Journal::Contents back = Journal::read(journal.path(), again);
        QCOMPARE(back.Rows, qint64(4));
        MeasurementTable shown;
        shown.appendRow({99, QStringLiteral("11:00:00"), QStringLiteral("19.0"),
                         QStringLiteral("#"), t0.addSecs(-3600), 0});
        Timeline restoredLine;
        restoredLine.follow(&shown);
        restoredLine.appendBatch(shown, std::move(again),
                                 {Timeline::Why::Restored, {}, back.Marks});
        QCOMPARE(restoredLine.notes().all().size(), size_t(1));
        const Notes::Note n = restoredLine.notes().all().front();
        QCOMPARE(n.Text, QStringLiteral("door open, \"wide\""));
        QCOMPARE(n.Row, qint64(3)); // after the one row that was there before
        QCOMPARE(n.No, std::optional<qint32>(3));
        QCOMPARE(n.TimeMs, t0.addSecs(2).toMSecsSinceEpoch());
        // And through <file>.notes.csv.
        std::vector<Notes::Note> read;
        QString why;
        QVERIFY(Notes::readCsv(Notes::csv(restoredLine.notes().all()), read, &why));
        QCOMPARE(read.size(), size_t(1));
        QCOMPARE(read[0].Text, n.Text);
        QCOMPARE(read[0].TimeMs, n.TimeMs);
        QCOMPARE(read[0].No, n.No);
        QVERIFY(!Notes::readCsv("no,time\r\n", read, &why));
    }

    // The journal's text loads as a data file too: the marks are no rows and no fault.
    MeasurementTable asFile;
    QFile copy(path);
    QVERIFY(copy.copy(dir.filePath("copy.txt")));
    QCOMPARE(int(DataFiles::loadTable(dir.filePath("copy.txt"), asFile, false)),
             int(DataFiles::LoadStatus::Ok));
    QCOMPARE(asFile.count(), qint64(6));
}

int main(int argc, char **argv)
{
    // Summer time both ways, whatever the machine's zone.
    qputenv("TZ", "Europe/Berlin");
    tzset();
    QCoreApplication app(argc, argv);
    TestTimeline test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Timeline.moc"
