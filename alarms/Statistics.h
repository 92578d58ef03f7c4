#pragma once
// Statistics of a measurement table, kept as rows arrive at a constant cost per row (running
// sums, never a rescan: the table may hold ten million rows), for the whole table and for any
// range of it (the chart's page) from summaries of blocks of rows. Rows loaded from a file
// count as recorded ones do; an emptied table starts the statistics anew.
//
// Time counts from each row to the next: between their capture times, or, for rows loaded
// from a file (which have only a time of day), between their times of day (one that goes
// back is on the next day). Time above or below a limit is that time for the rows beyond it,
// the last row of a range included (a range's time beyond a limit is its rows' part of the
// whole), and none across a gap (longer than the gap time, below).
//
// The mean kinetic temperature is weighted by time in the same way: a reading stands for the
// time until the next one; across a gap (longer than the gap time: three sampling intervals,
// at least 10 s, as the time chart breaks its line) no time is counted, and the last reading
// before a gap or at the end stands for the recording's usual spacing (the mean time between
// its readings, gaps left out). Readings without a number count for nothing; the summary says
// how much time they stood for. °F readings are converted.

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
    // The mean kinetic temperature (°C), none without a reading with a number; the time it
    // weighs, and the time of the readings without a number.
    std::optional<double> MktCelsius;
    double MktSeconds = 0, SecondsWithoutNumber = 0;
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
    StatSummary whole() const;
    // Rows first..last (cut to the table).
    StatSummary range(qint64 first, qint64 last) const;
    // Several ranges as one (the time between two ranges not counted).
    StatSummary ranges(const std::vector<std::pair<qint64, qint64>> &rows) const;
    // A row's value as the statistics take it; none without one.
    std::optional<double> value(qint64 row) const;
    // The mean kinetic temperature's activation energy (kJ/mol) and the gap time (s) across
    // which no time counts; a change counts the table anew.
    static constexpr double DefaultActivationKJ = 83.144;
    static constexpr double GasConstant = 8.3144; // J/(mol·K)
    void setKinetics(double activationKJ, double gapSeconds);
    void setActivationKJ(double activationKJ) { setKinetics(activationKJ, m_gapSeconds); }
    double activationKJ() const { return m_activationKJ; }
    // An MKT in °C as a person reads it in unit ("°C", "°F"; other: °C).
    static QString mktText(double celsius, const QString &unit);

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
        // The mean kinetic temperature's sums: over readings with a number and a span,
        // Σ span·e^(k/T0 − k/T), Σ span and their count; over those before a gap (or the
        // last), Σ e^(k/T0 − k/T) and their count; the time of readings without a number, and
        // how many of them came before a gap.
        double kinetic = 0, kineticSeconds = 0, kineticEnds = 0;
        qint64 kineticSpans = 0, kineticEndCount = 0, untimedEnds = 0;
        double untimed = 0;
        void add(double v, qint64 row);
        void merge(const Part &other);
    };
    static constexpr qint64 BlockRows = 4096;
    void rebuild();
    void appended(qint64 first, qint64 last);
    // The time from row to the next one (timeToo), and whether row is above or below the
    // limits (none across a gap).
    void addSpan(Part &part, qint64 row, bool timeToo = true) const;
    double spanSeconds(qint64 row) const;
    const QString &unitName(qint64 row) const; // "°C", "°F" or the row's own text
    // Row's term of the mean kinetic temperature (its span known, or last: it is the last row).
    // (Into also as well: the whole and a block, worked out once.)
    void addKinetic(Part &part, qint64 row, bool last, Part *also = nullptr) const;
    StatSummary summaryOf(const Part &part, qint64 first, qint64 last) const;
    Part partOf(qint64 first, qint64 last) const;

    QPointer<const MeasurementTable> m_table;
    std::optional<double> m_high, m_low;
    double m_activationKJ = DefaultActivationKJ, m_gapSeconds = 10;
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
