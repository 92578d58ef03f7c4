#pragma once
// Statistics of a measurement table, kept as rows arrive at a constant cost per row (running
// sums, never a rescan: the table may hold ten million rows), for the whole table and for any
// range of it (the chart's page) from summaries of blocks of rows. Rows loaded from a file
// count as recorded ones do; an emptied table starts the statistics anew.
//
// Time counts from each row to the next: between their capture times, or, for rows loaded
// from a file (which have only a time of day), between their times of day (one that goes
// back is on the next day). Time above or below a limit is that time for the rows beyond it.

#include "recording/ValueNumbers.h"

#include <QObject>
#include <QPointer>
#include <optional>
#include <vector>

class MeasurementTable;

struct StatSummary
{
    qint64 Rows = 0;  // rows in the range
    qint64 Count = 0; // rows with a value
    double Min = 0, Max = 0, Mean = 0, StdDev = 0;
    qint64 MinRow = -1, MaxRow = -1; // where the extremes are (the first of equal ones)
    qint64 FirstRow = -1, LastRow = -1;
    double SecondsAbove = 0, SecondsBelow = 0;
    double Seconds = 0; // from the first row to the last, row by row
};

class QString;

class TableStatistics : public QObject
{
    Q_OBJECT
public:
    explicit TableStatistics(const MeasurementTable &table, QObject *parent = nullptr);

    // The limits that time above and below count against; a change counts the table anew.
    // A unit ("°C", "°F") makes rows in the other unit count after conversion.
    void setLimits(std::optional<double> high, std::optional<double> low, const QString &unit = {});
    StatSummary whole() const { return summaryOf(m_whole, 0, m_rows - 1); }
    // Rows first..last (cut to the table).
    StatSummary range(qint64 first, qint64 last) const;
    // Several ranges as one (the time between two ranges not counted).
    StatSummary ranges(const std::vector<std::pair<qint64, qint64>> &rows) const;
    // A row's value as the statistics take it; none without one.
    std::optional<double> value(qint64 row) const;

    // A summary as lines of text (unit: "°C"), for a person: a headless run's end, a file.
    QString text(const StatSummary &s, const QString &unit) const;
    // When a row was captured: its capture time (ISO 8601 with its offset, or in format), or
    // its time of day when it has none.
    QString timeOf(qint64 row, const QString &format = {}) const;

signals:
    void changed();

private:
    struct Part
    {
        qint64 count = 0;
        double mean = 0, m2 = 0; // Welford: combined exactly between parts
        double min = 0, max = 0;
        qint64 minRow = -1, maxRow = -1;
        double above = 0, below = 0, seconds = 0; // from each row to the next
        void add(double v, qint64 row);
        void merge(const Part &other);
    };
    static constexpr qint64 BlockRows = 4096;
    void rebuild();
    void appended(qint64 first, qint64 last);
    // The time from row to the next one, and whether row is above or below the limits.
    void addSpan(Part &part, qint64 row, double sign = 1) const;
    double spanSeconds(qint64 row) const;
    StatSummary summaryOf(const Part &part, qint64 first, qint64 last) const;
    Part partOf(qint64 first, qint64 last) const;

    QPointer<const MeasurementTable> m_table;
    std::optional<double> m_high, m_low;
    QString m_limitUnit;
    mutable std::vector<std::optional<QString>> m_unitNames; // by unit text id
    qint64 m_rows = 0;
    Part m_whole;
    std::vector<Part> m_blocks; // one for each whole or begun block of rows
    mutable ValueNumbers m_values;
    mutable std::vector<qint64>
        m_timeOfDay; // by time text id: ms into the day; -1 none, -2 unknown
};

// Which table rows the chart's points are: rows loaded from a file are in the table but not
// on the chart, so the points of a page are runs of rows with gaps between them.
class PlottedRows
{
public:
    // Points firstPoint.. (from 1) are the rows firstRow.. (count of them).
    void add(qint64 firstPoint, qint64 firstRow, qint64 count);
    void clear() { m_runs.clear(); }
    // The rows of points firstPoint..lastPoint, as runs first..last.
    std::vector<std::pair<qint64, qint64>> rowsOf(qint64 firstPoint, qint64 lastPoint) const;

private:
    struct Run
    {
        qint64 point, row, count;
    };
    std::vector<Run> m_runs;
};
