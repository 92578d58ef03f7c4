#pragma once
// A recording day by day, as a HACCP log holds it: for each calendar day (local time, as the
// time chart's axis shows it) from the first reading's to the last's, its readings, minimum,
// maximum, mean and mean kinetic temperature, the time above and below the limits, the alarms
// that began that day, and the time without readings (the gaps of the recording within it).
// From the statistics' block sums: a day costs a few lookups, whatever its rows.

#include "alarms/AlarmRules.h"
#include "alarms/Statistics.h"

#include <QDate>
#include <vector>

class Timeline;

struct DayFigures
{
    QDate Day;
    StatSummary Figures;
    qint64 Alarms = 0;
    double SecondsWithoutReadings = 0;
};

// alarms: each start and end (or starts still on at the end), as the alarm lists give them.
std::vector<DayFigures> dailyFigures(const Timeline &line, const TableStatistics &stats,
                                     const QList<AlarmEvent> &alarms);
