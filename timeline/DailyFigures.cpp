#include "timeline/DailyFigures.h"

#include "timeline/Timeline.h"

#include <QDateTime>
#include <QSet>

std::vector<DayFigures> dailyFigures(const Timeline &line, const TableStatistics &stats,
                                     const QList<AlarmEvent> &alarms)
{
    std::vector<DayFigures> days;
    const TimeSeries &series = line.series();
    qint64 firstMs = 0, lastMs = 0;
    if (!series.timeRange(&firstMs, &lastMs))
        return days;
    const auto startOf = [](const QDate &day) { return day.startOfDay().toMSecsSinceEpoch(); };
    // Each alarm once, on the day it began.
    QSet<QPair<int, qint64>> counted;
    for (QDate day = QDateTime::fromMSecsSinceEpoch(firstMs).date(); startOf(day) <= lastMs;
         day = day.addDays(1)) {
        const qint64 from = startOf(day), to = startOf(day.addDays(1));
        std::vector<std::pair<qint64, qint64>> rows;
        for (const TimeSeries::Run &r : series.runs())
            if (const auto [first, end] = series.rowsIn(r, double(from), double(to)); end > first)
                rows.emplace_back(first, end - 1);
        DayFigures d;
        d.Day = day;
        d.Figures = stats.ranges(rows);
        for (const AlarmEvent &e : alarms) {
            const qint64 began = e.BreachStart.toMSecsSinceEpoch();
            if (began >= from && began < to && !counted.contains({int(e.Kind), began})) {
                counted.insert({int(e.Kind), began});
                ++d.Alarms;
            }
        }
        // The recording's gaps, as much of each as lies in the day.
        for (const Timeline::Gap &g : line.gaps())
            d.SecondsWithoutReadings +=
                double(qMax<qint64>(0, qMin(g.ToMs, to) - qMax(g.FromMs, from))) / 1000;
        days.push_back(d);
    }
    return days;
}
