#pragma once
// Readings over time for a chart that must stay quick at ten million of them: each row's
// capture time and value, and above them a min/max level of detail built as rows arrive (a
// constant cost per row), so that any span of rows is summed up in a few steps and a redraw
// costs in proportion to the pixels drawn, not the rows.
//
// Rows are kept in the order they came. A run is a stretch of rows in time order; a row whose
// time is before the one before it starts a new run (a loaded file, a clock set back), so
// every run can be searched by time. A run may also be started on purpose (a download: its
// rows are drawn apart). A break marks a row the line does not join to the row before it.
//
// Values: a number, or one of three markers that are not values: above range (+inf), below
// range (-inf), no number (NaN). Minimum, maximum, sum and count are of numbers only; the
// markers are counted as flags.

#include <QtGlobal>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

class TimeSeries
{
public:
    static constexpr float Above = std::numeric_limits<float>::infinity();
    static constexpr float Below = -std::numeric_limits<float>::infinity();
    static constexpr float NoNumber = std::numeric_limits<float>::quiet_NaN();

    enum Flag : quint8
    {
        HasAbove = 1,
        HasBelow = 2,
        HasNoNumber = 4,
    };

    // What a span of rows holds.
    struct Summary
    {
        float Min = std::numeric_limits<float>::infinity();
        float Max = -std::numeric_limits<float>::infinity();
        double Sum = 0;
        qint64 Count = 0; // numbers
        quint8 Flags = 0;
        void add(float v);
        void add(const Summary &other);
        bool hasNumbers() const { return Count > 0; }
    };

    struct Run
    {
        qint64 First = 0, End = 0; // rows [First, End)
        quint8 Tag = 0;            // set by whoever starts it (downloaded rows, say)
    };

    // A row at timeMs (ms since the epoch). newRun: starts a run even in time order; tag: the
    // new run's. breakBefore: the line does not join this row to the one before.
    void append(qint64 timeMs, float value, bool breakBefore = false, bool newRun = false,
                quint8 tag = 0);
    void clear();

    qint64 rows() const { return m_rows; }
    qint64 timeMs(qint64 row) const
    {
        return m_blocks[size_t(row >> BlockShift)]->Time[row & BlockMask];
    }
    float value(qint64 row) const
    {
        return m_blocks[size_t(row >> BlockShift)]->Value[row & BlockMask];
    }
    const std::vector<Run> &runs() const { return m_runs; }
    // Whether the line is broken between row - 1 and row (a break, or a new run).
    bool brokenBefore(qint64 row) const;
    // Whether the line is broken anywhere in (after, upTo].
    bool brokenBetween(qint64 after, qint64 upTo) const;
    // The earliest and latest time of all rows; false without rows.
    bool timeRange(qint64 *first, qint64 *last) const;

    // Rows [first, end) summed up.
    Summary summary(qint64 first, qint64 end) const;
    // The rows of run whose times are in [fromMs, toMs): [first, end).
    std::pair<qint64, qint64> rowsIn(const Run &run, double fromMs, double toMs) const;
    // The rows of every run in [fromMs, toMs) summed up.
    Summary summaryIn(double fromMs, double toMs) const;

    // One pixel column: its rows [First, End) (of a run; of the time order when merged) and
    // what they hold; FirstRow and LastRow are the rows of its earliest and latest reading.
    struct Column
    {
        qint64 First = 0, End = 0;
        qint64 FirstRow = 0, LastRow = 0;
        Summary S;
        bool empty() const { return First >= End; }
    };
    // The columns of run over [fromMs, toMs) cut into n equal spans (out gets n columns).
    void columns(const Run &run, double fromMs, double toMs, int n, std::vector<Column> &out) const;

    // Many runs (rows far out of time order: files merged, a clock set back again and again)
    // are drawn as one stretch, from all rows in time order: a redraw then costs as the pixels
    // do, whatever the order the rows came in.
    static constexpr size_t ManyRuns = 64;
    bool manyRuns() const { return m_runs.size() > ManyRuns; }
    // The columns of all rows over [fromMs, toMs), in time order, as columns() gives a run's.
    void mergedColumns(double fromMs, double toMs, int n, std::vector<Column> &out) const;
    // How many rows have times in [fromMs, toMs).
    qint64 rowsIn(double fromMs, double toMs) const;
    // Where rows next to each other in time (all rows, in time order) are more than minMs
    // apart, from index from of the time order on: each span's ends and the row after it.
    // Returns the index it got to.
    struct Span
    {
        qint64 FromMs = 0, ToMs = 0, Row = 0;
    };
    qint64 spansInTimeOrder(qint64 minMs, qint64 from, std::vector<Span> &out) const;
    // The median time between rows next to each other in time (0 without two rows apart).
    qint64 usualSpacingInTimeOrder() const;
    // The same in whole seconds (down), as the rule for gaps takes it: a face and a report of
    // the same rows draw the line between a pause and a gap alike.
    qint64 usualSpacingSeconds() const { return usualSpacingInTimeOrder() / 1000; }
    // Counts the times a row came before the latest one after the time order was last
    // complete: while it stays the same, every row since came at or after all before it.
    quint64 orderBreaks() const { return m_orderBreaks; }

    // The row nearest to timeMs in time; -1 without rows.
    qint64 nearest(double timeMs) const;

    // Bytes held beyond the rows' own 12 (for the benchmark's account).
    qint64 detailBytes() const;

private:
    static constexpr int LeafShift = 6;  // 64 rows a node at the first level
    static constexpr int LevelShift = 4; // 16 nodes of a level a node of the next
    // A min/max level of detail over values in some order: 64 a node at the first level, 16
    // nodes of a level a node of the next.
    struct Levels
    {
        std::vector<std::vector<Summary>> Nodes;
        void add(qint64 index, float value); // the value at index, the next one
        // Values [first, end) summed up; valueAt gives one of them.
        template <class ValueAt>
        Summary summary(qint64 first, qint64 end, const ValueAt &valueAt) const;
        qint64 bytes() const;
    };
    // All rows in time order (ties by row), with their level of detail: built on first need
    // once there are many runs, kept up while rows come in time order, built again after one
    // that does not. Everything runs on one thread (the GUI's), so a lazy build is safe.
    struct Ordered
    {
        std::vector<qint64> Rows;
        Levels Detail;
        bool Stale = true;
    };
    const Ordered &ordered() const;
    // The first index of the time order whose time is at or after timeMs.
    qint64 orderedAtOrAfter(const Ordered &o, double timeMs) const;
    qint64 firstAtOrAfter(const Run &run, double timeMs) const;

    // Rows in blocks that never move: growing never copies them, nor leaves a freed copy
    // resident.
    static constexpr int BlockShift = 16;
    static constexpr qint64 BlockMask = (qint64(1) << BlockShift) - 1;
    struct Block
    {
        qint64 Time[1 << BlockShift];
        float Value[1 << BlockShift];
    };
    std::vector<std::unique_ptr<Block>> m_blocks;
    qint64 m_rows = 0;
    Levels m_levels; // over the rows in the order they came
    mutable Ordered m_ordered;
    quint64 m_orderBreaks = 0;
    qint64 m_latestMs = 0; // the latest time of any row
    std::vector<Run> m_runs;
    std::vector<qint64> m_breaks; // rows that begin a broken line inside a run, in order
};
