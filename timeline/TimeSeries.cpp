#include "timeline/TimeSeries.h"

#include <algorithm>

void TimeSeries::Summary::add(float v)
{
    if (std::isnan(v)) {
        Flags |= HasNoNumber;
    } else if (std::isinf(v)) {
        Flags |= v > 0 ? HasAbove : HasBelow;
    } else {
        Min = std::min(Min, v);
        Max = std::max(Max, v);
        Sum += v;
        ++Count;
    }
}

void TimeSeries::Summary::add(const Summary &other)
{
    Min = std::min(Min, other.Min);
    Max = std::max(Max, other.Max);
    Sum += other.Sum;
    Count += other.Count;
    Flags |= other.Flags;
}

void TimeSeries::append(qint64 timeMs, float value, bool breakBefore, bool newRun, quint8 tag)
{
    const qint64 row = rows();
    if (m_runs.empty() || newRun || timeMs < this->timeMs(row - 1))
        m_runs.push_back(Run{row, row, tag});
    else if (breakBefore)
        m_breaks.push_back(row);
    ++m_runs.back().End;
    if ((row & BlockMask) == 0)
        m_blocks.push_back(std::make_unique_for_overwrite<Block>());
    Block &block = *m_blocks.back();
    block.Time[row & BlockMask] = timeMs;
    block.Value[row & BlockMask] = value;
    ++m_rows;
    addToLevels(value);
}

void TimeSeries::addToLevels(float value)
{
    const qint64 row = rows() - 1;
    for (size_t level = 0;; ++level) {
        if (level == m_levels.size()) {
            // The first row, or the level below has just got its second node: this one
            // starts with the first of those.
            const Summary below = level > 0 ? m_levels[level - 1].front() : Summary{};
            m_levels.emplace_back();
            if (level > 0)
                m_levels.back().push_back(below);
        }
        std::vector<Summary> &nodes = m_levels[level];
        const size_t node = size_t(row >> (LeafShift + LevelShift * int(level)));
        if (node == nodes.size())
            nodes.emplace_back();
        nodes[node].add(value);
        if (nodes.size() == 1)
            return;
    }
}

void TimeSeries::clear()
{
    m_blocks.clear();
    m_rows = 0;
    m_levels.clear();
    m_runs.clear();
    m_breaks.clear();
}

bool TimeSeries::brokenBefore(qint64 row) const
{
    const auto run = std::lower_bound(m_runs.cbegin(), m_runs.cend(), row,
                                      [](const Run &r, qint64 v) { return r.First < v; });
    if (run != m_runs.cend() && run->First == row)
        return true;
    return std::binary_search(m_breaks.cbegin(), m_breaks.cend(), row);
}

bool TimeSeries::brokenBetween(qint64 after, qint64 upTo) const
{
    if (upTo <= after)
        return false;
    const auto brk = std::upper_bound(m_breaks.cbegin(), m_breaks.cend(), after);
    if (brk != m_breaks.cend() && *brk <= upTo)
        return true;
    const auto run = std::upper_bound(m_runs.cbegin(), m_runs.cend(), after,
                                      [](qint64 v, const Run &r) { return v < r.First; });
    return run != m_runs.cend() && run->First <= upTo;
}

bool TimeSeries::timeRange(qint64 *first, qint64 *last) const
{
    if (m_runs.empty())
        return false;
    *first = std::numeric_limits<qint64>::max();
    *last = std::numeric_limits<qint64>::min();
    // Each run is in time order: its ends are its extremes.
    for (const Run &r : m_runs) {
        *first = std::min(*first, timeMs(r.First));
        *last = std::max(*last, timeMs(r.End - 1));
    }
    return true;
}

TimeSeries::Summary TimeSeries::summary(qint64 first, qint64 end) const
{
    Summary s;
    auto raw = [&](qint64 a, qint64 b) {
        for (qint64 i = a; i < b; ++i)
            s.add(value(i));
    };
    if (end <= first)
        return s;
    qint64 lo = (first + (1 << LeafShift) - 1) >> LeafShift, hi = end >> LeafShift;
    if (lo >= hi) {
        raw(first, end);
        return s;
    }
    raw(first, lo << LeafShift);
    raw(hi << LeafShift, end);
    // Whole nodes from here: at each level the ragged ends, then the level above.
    for (size_t level = 0; level < m_levels.size(); ++level) {
        const std::vector<Summary> &nodes = m_levels[level];
        auto add = [&](qint64 a, qint64 b) {
            for (qint64 i = a; i < b; ++i)
                s.add(nodes[size_t(i)]);
        };
        const qint64 upLo = (lo + (1 << LevelShift) - 1) >> LevelShift, upHi = hi >> LevelShift;
        if (level + 1 == m_levels.size() || upLo >= upHi) {
            add(lo, hi);
            return s;
        }
        add(lo, upLo << LevelShift);
        add(upHi << LevelShift, hi);
        lo = upLo;
        hi = upHi;
    }
    return s;
}

qint64 TimeSeries::firstAtOrAfter(const Run &run, double timeMs) const
{
    qint64 lo = run.First, hi = run.End; // the first row at or after timeMs is in [lo, hi]
    while (lo < hi) {
        const qint64 mid = lo + (hi - lo) / 2;
        if (double(this->timeMs(mid)) < timeMs)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

std::pair<qint64, qint64> TimeSeries::rowsIn(const Run &run, double fromMs, double toMs) const
{
    return {firstAtOrAfter(run, fromMs), firstAtOrAfter(run, toMs)};
}

TimeSeries::Summary TimeSeries::summaryIn(double fromMs, double toMs) const
{
    Summary s;
    for (const Run &r : m_runs) {
        const auto [first, end] = rowsIn(r, fromMs, toMs);
        s.add(summary(first, end));
    }
    return s;
}

void TimeSeries::columns(const Run &run, double fromMs, double toMs, int n,
                         std::vector<Column> &out) const
{
    out.assign(size_t(std::max(n, 0)), Column{});
    if (n <= 0 || toMs <= fromMs || run.End <= run.First)
        return;
    const double width = (toMs - fromMs) / n;
    const double runFirst = double(timeMs(run.First));
    const double runLast = double(timeMs(run.End - 1));
    if (runLast < fromMs || runFirst >= toMs)
        return;
    // Only the columns the run reaches are searched, each from where the last one ended.
    const int kFirst = std::clamp(int(std::floor((runFirst - fromMs) / width)), 0, n - 1);
    const int kLast = std::clamp(int(std::floor((runLast - fromMs) / width)), 0, n - 1);
    Run rest = run;
    qint64 begin = firstAtOrAfter(rest, fromMs + kFirst * width);
    for (int k = kFirst; k <= kLast; ++k) {
        rest.First = begin;
        const qint64 end = k == n - 1 ? firstAtOrAfter(rest, toMs)
                                      : firstAtOrAfter(rest, fromMs + (k + 1) * width);
        Column &c = out[size_t(k)];
        c.First = begin;
        c.End = end;
        c.S = summary(begin, end);
        begin = end;
    }
}

qint64 TimeSeries::nearest(double timeMs) const
{
    qint64 best = -1;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const Run &r : m_runs) {
        const qint64 at = firstAtOrAfter(r, timeMs);
        for (const qint64 i : {at - 1, at}) {
            if (i < r.First || i >= r.End)
                continue;
            const double d = std::abs(double(this->timeMs(i)) - timeMs);
            if (d < bestDistance) {
                bestDistance = d;
                best = i;
            }
        }
    }
    return best;
}

qint64 TimeSeries::detailBytes() const
{
    qint64 bytes = qint64(m_runs.size() * sizeof(Run) + m_breaks.size() * sizeof(qint64) +
                          m_blocks.size() * sizeof(void *));
    for (const auto &level : m_levels)
        bytes += qint64(level.size() * sizeof(Summary));
    return bytes;
}
