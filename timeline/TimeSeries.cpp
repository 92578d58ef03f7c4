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
    if (row > 0 && timeMs < m_latestMs)
        ++m_orderBreaks;
    m_latestMs = row == 0 ? timeMs : std::max(m_latestMs, timeMs);
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
    m_levels.add(row, value);
    // The time order goes on with a row that is not before the latest one; any other row
    // makes it stale (built again when next needed).
    if (!m_ordered.Stale) {
        if (m_ordered.Rows.empty() || timeMs >= this->timeMs(m_ordered.Rows.back())) {
            m_ordered.Rows.push_back(row);
            m_ordered.Detail.add(qint64(m_ordered.Rows.size()) - 1, value);
        } else {
            m_ordered = Ordered{};
        }
    }
}

void TimeSeries::Levels::add(qint64 index, float value)
{
    for (size_t level = 0;; ++level) {
        if (level == Nodes.size()) {
            // The first value, or the level below has just got its second node: this one
            // starts with the first of those.
            const Summary below = level > 0 ? Nodes[level - 1].front() : Summary{};
            Nodes.emplace_back();
            if (level > 0)
                Nodes.back().push_back(below);
        }
        std::vector<Summary> &nodes = Nodes[level];
        const size_t node = size_t(index >> (LeafShift + LevelShift * int(level)));
        if (node == nodes.size())
            nodes.emplace_back();
        nodes[node].add(value);
        if (nodes.size() == 1)
            return;
    }
}

qint64 TimeSeries::Levels::bytes() const
{
    qint64 bytes = 0;
    for (const auto &level : Nodes)
        bytes += qint64(level.size() * sizeof(Summary));
    return bytes;
}

template <class ValueAt>
TimeSeries::Summary TimeSeries::Levels::summary(qint64 first, qint64 end,
                                                const ValueAt &valueAt) const
{
    Summary s;
    auto raw = [&](qint64 a, qint64 b) {
        if constexpr (requires { valueAt.addSpan(a, b, s); })
            valueAt.addSpan(a, b, s); // rows next to each other in memory: a tight loop
        else
            for (qint64 i = a; i < b; ++i)
                s.add(valueAt(i));
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
    for (size_t level = 0; level < Nodes.size(); ++level) {
        const std::vector<Summary> &nodes = Nodes[level];
        auto add = [&](qint64 a, qint64 b) {
            for (qint64 i = a; i < b; ++i)
                s.add(nodes[size_t(i)]);
        };
        const qint64 upLo = (lo + (1 << LevelShift) - 1) >> LevelShift, upHi = hi >> LevelShift;
        if (level + 1 == Nodes.size() || upLo >= upHi) {
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

const TimeSeries::Ordered &TimeSeries::ordered() const
{
    Ordered &o = m_ordered;
    if (!o.Stale)
        return o;
    o.Rows.resize(size_t(m_rows));
    for (qint64 i = 0; i < m_rows; ++i)
        o.Rows[size_t(i)] = i;
    // Each run is in time order already: sorted runs merged pairwise would do, but a plain
    // stable sort by time costs about as much and keeps ties in row order.
    std::stable_sort(o.Rows.begin(), o.Rows.end(),
                     [this](qint64 a, qint64 b) { return timeMs(a) < timeMs(b); });
    o.Detail = Levels{};
    for (qint64 i = 0; i < m_rows; ++i)
        o.Detail.add(i, value(o.Rows[size_t(i)]));
    o.Stale = false;
    return o;
}

qint64 TimeSeries::orderedAtOrAfter(const Ordered &o, double timeMs) const
{
    const auto at =
        std::lower_bound(o.Rows.cbegin(), o.Rows.cend(), timeMs,
                         [this](qint64 row, double t) { return double(this->timeMs(row)) < t; });
    return qint64(at - o.Rows.cbegin());
}

void TimeSeries::clear()
{
    m_blocks.clear();
    m_rows = 0;
    m_levels = Levels{};
    m_ordered = Ordered{};
    m_orderBreaks = 0;
    m_latestMs = 0;
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
    if (manyRuns()) {
        const Ordered &o = ordered();
        *first = timeMs(o.Rows.front());
        *last = timeMs(o.Rows.back());
        return true;
    }
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
    // The rows in the order they came: each block's values one after the other.
    struct Direct
    {
        const TimeSeries &Series;
        float operator()(qint64 i) const { return Series.value(i); }
        void addSpan(qint64 a, qint64 b, Summary &s) const
        {
            while (a < b) {
                const float *v = Series.m_blocks[size_t(a >> BlockShift)]->Value + (a & BlockMask);
                const qint64 n = std::min(b, (a | BlockMask) + 1) - a;
                float lo = s.Min, hi = s.Max;
                double sum = 0;
                qint64 count = 0;
                for (qint64 i = 0; i < n; ++i) {
                    const float x = v[i];
                    if (std::isfinite(x)) {
                        lo = std::min(lo, x);
                        hi = std::max(hi, x);
                        sum += x;
                        ++count;
                    } else {
                        s.add(x); // a marker: its flag
                    }
                }
                s.Min = std::min(s.Min, lo);
                s.Max = std::max(s.Max, hi);
                s.Sum += sum;
                s.Count += count;
                a += n;
            }
        }
    };
    return m_levels.summary(first, end, Direct{*this});
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
    if (manyRuns()) {
        const Ordered &o = ordered();
        return o.Detail.summary(orderedAtOrAfter(o, fromMs), orderedAtOrAfter(o, toMs),
                                [&](qint64 i) { return value(o.Rows[size_t(i)]); });
    }
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
        // A column's end is near its start: galloping from there touches the rows close by
        // (a search over the whole rest of the run would reach across memory each time).
        const double endMs = k == n - 1 ? toMs : fromMs + (k + 1) * width;
        qint64 step = 1, probe = begin;
        while (probe < run.End && double(timeMs(probe)) < endMs) {
            rest.First = probe + 1;
            probe += step;
            step *= 2;
        }
        rest.End = std::min(probe, run.End);
        const qint64 end = firstAtOrAfter(rest, endMs);
        rest.End = run.End;
        Column &c = out[size_t(k)];
        c.First = begin;
        c.End = end;
        c.FirstRow = begin;
        c.LastRow = end - 1;
        c.S = summary(begin, end);
        begin = end;
    }
}

void TimeSeries::mergedColumns(double fromMs, double toMs, int n, std::vector<Column> &out) const
{
    out.assign(size_t(std::max(n, 0)), Column{});
    if (n <= 0 || toMs <= fromMs || m_rows == 0)
        return;
    const Ordered &o = ordered();
    const double width = (toMs - fromMs) / n;
    auto valueAt = [&](qint64 i) { return value(o.Rows[size_t(i)]); };
    qint64 begin = orderedAtOrAfter(o, fromMs);
    const qint64 last = orderedAtOrAfter(o, toMs);
    while (begin < last) {
        // The column of the next row in time, and where the column ends.
        const double t = double(timeMs(o.Rows[size_t(begin)]));
        int k = std::clamp(int(std::floor((t - fromMs) / width)), 0, n - 1);
        while (k > 0 && t < fromMs + k * width)
            --k;
        while (k < n - 1 && t >= fromMs + (k + 1) * width)
            ++k;
        const qint64 end =
            k == n - 1 ? last : std::min(last, orderedAtOrAfter(o, fromMs + (k + 1) * width));
        Column &c = out[size_t(k)];
        c.First = begin;
        c.End = std::max(end, begin + 1);
        c.FirstRow = o.Rows[size_t(c.First)];
        c.LastRow = o.Rows[size_t(c.End - 1)];
        c.S = o.Detail.summary(c.First, c.End, valueAt);
        begin = c.End;
    }
}

qint64 TimeSeries::rowsIn(double fromMs, double toMs) const
{
    if (toMs <= fromMs)
        return 0;
    if (manyRuns()) {
        const Ordered &o = ordered();
        return orderedAtOrAfter(o, toMs) - orderedAtOrAfter(o, fromMs);
    }
    qint64 n = 0;
    for (const Run &r : m_runs) {
        const auto [first, end] = rowsIn(r, fromMs, toMs);
        n += end - first;
    }
    return n;
}

qint64 TimeSeries::spansInTimeOrder(qint64 minMs, qint64 from, std::vector<Span> &out) const
{
    const Ordered &o = ordered();
    const qint64 n = qint64(o.Rows.size());
    for (qint64 i = std::max<qint64>(from, 1); i < n; ++i) {
        const qint64 a = timeMs(o.Rows[size_t(i - 1)]), b = timeMs(o.Rows[size_t(i)]);
        if (b - a > minMs)
            out.push_back({a, b, o.Rows[size_t(i)]});
    }
    return n;
}

qint64 TimeSeries::usualSpacingInTimeOrder() const
{
    const Ordered &o = ordered();
    std::vector<qint64> steps;
    const size_t n = o.Rows.size();
    const size_t stride = std::max<size_t>(1, n / 65536);
    for (size_t i = stride; i < n; i += stride)
        if (const qint64 step = timeMs(o.Rows[i]) - timeMs(o.Rows[i - 1]); step > 0)
            steps.push_back(step);
    if (steps.empty())
        return 0;
    std::nth_element(steps.begin(), steps.begin() + qsizetype(steps.size() / 2), steps.end());
    return steps[steps.size() / 2];
}

qint64 TimeSeries::nearest(double timeMs) const
{
    qint64 best = -1;
    double bestDistance = std::numeric_limits<double>::infinity();
    if (manyRuns()) {
        const Ordered &o = ordered();
        const qint64 at = orderedAtOrAfter(o, timeMs);
        for (const qint64 i : {at - 1, at}) {
            if (i < 0 || i >= qint64(o.Rows.size()))
                continue;
            const double d = std::abs(double(this->timeMs(o.Rows[size_t(i)])) - timeMs);
            if (d < bestDistance) {
                bestDistance = d;
                best = o.Rows[size_t(i)];
            }
        }
        return best;
    }
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
    return qint64(m_runs.size() * sizeof(Run) + m_breaks.size() * sizeof(qint64) +
                  m_blocks.size() * sizeof(void *) + m_ordered.Rows.capacity() * sizeof(qint64)) +
           m_levels.bytes() + m_ordered.Detail.bytes();
}
