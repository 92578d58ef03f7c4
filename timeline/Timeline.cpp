#include "timeline/Timeline.h"

#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"
#include "timeline/FileDates.h"

#include <QTimeZone>
#include <algorithm>
#include <chrono>
#include <unordered_map>

namespace {

qint64 steadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The median of the steps forward between times (a sample of them, for many).
qint64 usualSpacing(const std::vector<qint64> &times)
{
    std::vector<qint64> steps;
    const size_t n = times.size();
    const size_t stride = std::max<size_t>(1, n / 65536);
    for (size_t i = stride; i < n; i += stride)
        if (times[i] > times[i - 1])
            steps.push_back(times[i] - times[i - 1]);
    if (steps.empty())
        return 0;
    std::nth_element(steps.begin(), steps.begin() + qsizetype(steps.size() / 2), steps.end());
    return steps[steps.size() / 2];
}

} // namespace

QString Timeline::describe(Why why)
{
    switch (why) {
    case Why::Silence:
        return QStringLiteral("no readings");
    case Why::Connected:
        return QStringLiteral("connected again");
    case Why::Disconnected:
        return QStringLiteral("disconnected");
    case Why::CableLost:
        return QStringLiteral("the cable was pulled (or lost)");
    case Why::Restored:
        return QStringLiteral("restored from the recovery journal");
    case Why::Loaded:
        return QStringLiteral("loaded from a file");
    case Why::ClockSet:
        return QStringLiteral("the clock was set forward");
    }
    return {};
}

QString Timeline::clockText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString Timeline::zoneText(qint64 firstMs, qint64 lastMs)
{
    const QTimeZone zone = QTimeZone::systemTimeZone();
    auto offset = [&](qint64 ms) {
        const int s = zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(ms, zone));
        return QStringLiteral("UTC%1%2:%3")
            .arg(s < 0 ? QLatin1Char('-') : QLatin1Char('+'))
            .arg(std::abs(s) / 3600, 2, 10, QLatin1Char('0'))
            .arg(std::abs(s) % 3600 / 60, 2, 10, QLatin1Char('0'));
    };
    const QString a = offset(firstMs), b = offset(lastMs);
    return QStringLiteral("%1 (%2)").arg(QString::fromUtf8(zone.id()),
                                         a == b ? a : QStringLiteral("%1, then %2").arg(a, b));
}

QString Timeline::spanText(qint64 ms)
{
    qint64 s = (ms + 500) / 1000;
    const qint64 d = s / 86400, h = s % 86400 / 3600, m = s % 3600 / 60;
    s %= 60;
    if (d > 0)
        return QStringLiteral("%1 d %2 h").arg(d).arg(h);
    if (h > 0)
        return QStringLiteral("%1 h %2 min").arg(h).arg(m);
    if (m > 0)
        return QStringLiteral("%1 min %2 s").arg(m).arg(s);
    return QStringLiteral("%1 s").arg(s);
}

Timeline::Timeline(QObject *parent) : QObject(parent), m_notes(new Notes(this)) {}

void Timeline::follow(const MeasurementTable *table)
{
    m_table = table;
    reset();
    connect(table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { rowsInserted(first, last); });
    connect(table, &QAbstractItemModel::modelReset, this, [this] {
        reset();
        emit cleared();
        emit changed();
    });
    if (table->count() > 0)
        rowsInserted(0, table->count() - 1);
}

void Timeline::follow(LoggerSession &session)
{
    m_session = &session;
    LoggerEngine *engine = &session.engine();
    connect(engine, &LoggerEngine::readingShown, this, [this] { readingArrived(steadyNowMs()); });
    connect(engine, &LoggerEngine::recallLocked, this,
            [this](bool connected) { breakNext(connected ? Why::Connected : Why::Disconnected); });
    connect(engine, &LoggerEngine::connectionLost, this, [this] { breakNext(Why::CableLost); });
    follow(&session.table());
}

void Timeline::setIntervalSeconds(int seconds)
{
    m_interval = qMax(0, seconds);
}

qint64 Timeline::gapThresholdMs() const
{
    return qMax<qint64>(MinGapMs, 3000LL * m_interval);
}

void Timeline::readingArrived(qint64 steadyMs)
{
    if (m_lastArrival >= 0)
        m_silence = qMax(m_silence, steadyMs - m_lastArrival);
    m_lastArrival = steadyMs;
    m_arrivals = true;
}

void Timeline::breakNext(Why why)
{
    // The first reason stands: a disconnect is what the gap after it is.
    if (!m_pendingBreak)
        m_pendingWhy = why;
    m_pendingBreak = true;
    if (why == Why::Connected || why == Why::Disconnected || why == Why::CableLost)
        m_lastArrival = -1; // a silence across a connection is the connection's gap
}

void Timeline::setDownloading(bool downloading)
{
    m_downloading = downloading;
}

void Timeline::appendBatch(MeasurementTable &table, MeasurementTable &&rows, Batch batch)
{
    Q_ASSERT(&table == m_table);
    const qint64 first = table.count();
    breakNext(batch.Reason);
    m_inBatch = true;
    m_fileDate = batch.FileDate;
    m_marks = std::move(batch.Marks);
    m_nextMark = 0;
    table.appendFrom(std::move(rows));
    m_inBatch = false;
    m_fileDate = QDate();
    m_marks.clear();
    m_nextMark = 0;
    // A batch without rows leaves no break behind for the next row recorded.
    if (table.count() == first && m_pendingWhy == batch.Reason)
        m_pendingBreak = false;
    placeNotes(batch.CsvNotes, first);
    placeNotes(batch.NotesBeside, first);
}

void Timeline::placeNotes(const std::vector<Notes::Note> &read, qint64 fromRow)
{
    const qint64 count = m_table ? m_table->count() : 0;
    for (const Notes::Note &n : read) {
        // The reading nearest its time, or one beside it (a file's rows carry their time to
        // the second), when its No matches.
        qint64 row = -1;
        const qint64 near = n.No ? m_series.nearest(double(n.TimeMs)) : -1;
        for (qint64 r = qMax(fromRow, near - 4); near >= 0 && r <= near + 4 && r < count && row < 0;
             ++r)
            if (m_table->no(r) == n.No && m_series.timeMs(r) / 1000 == n.TimeMs / 1000)
                row = r;
        m_notes->add(n.TimeMs, row, row >= 0 ? n.No : std::nullopt, n.Text, Notes::Origin::Brought);
    }
}

void Timeline::placeNotes(const std::vector<DataFiles::CsvNote> &read, qint64 fromRow)
{
    const qint64 count = m_table ? m_table->count() : 0;
    for (const DataFiles::CsvNote &n : read) {
        const qint64 row = n.Row >= 0 && fromRow + n.Row < count ? fromRow + n.Row : -1;
        const qint64 timeMs = row >= 0 ? m_series.timeMs(row) : n.TimeMs;
        m_notes->add(timeMs, row, row >= 0 ? m_table->no(row) : std::nullopt, n.Text,
                     Notes::Origin::Brought);
    }
}

std::optional<Timeline::Why> Timeline::whyOf(const QByteArray &markWord)
{
    if (markWord == "connected")
        return Why::Connected;
    if (markWord == "disconnected")
        return Why::Disconnected;
    if (markWord == "cable-lost")
        return Why::CableLost;
    return std::nullopt;
}

void Timeline::reset()
{
    m_series.clear();
    m_gaps.clear();
    m_orderGaps.clear();
    m_orderGapsTo = 0;
    m_notes->clear();
    m_valueOfText.clear();
    m_knownText.clear();
    m_assumed = 0;
    m_pendingBreak = false;
    m_lastDownloaded = false;
    m_silence = 0;
    m_arrivals = false;
}

float Timeline::valueOf(qint64 row)
{
    const quint32 id = m_table->textId(row, MeasurementTable::FieldValue);
    if (id >= m_knownText.size()) {
        m_valueOfText.resize(size_t(id) + 256);
        m_knownText.resize(size_t(id) + 256, 0);
    }
    if (!m_knownText[id]) {
        const QString text = m_table->textById(id).trimmed();
        float v = TimeSeries::NoNumber;
        // The over-range forms (OL, -OL) are ends of the range, not values.
        if (text.contains(QLatin1Char('L')))
            v = text.startsWith(QLatin1Char('-')) ? TimeSeries::Below : TimeSeries::Above;
        else if (const auto number = MeasurementTable::numberOf(text))
            v = float(*number);
        m_valueOfText[id] = v;
        m_knownText[id] = 1;
    }
    return m_valueOfText[id];
}

void Timeline::rowsInserted(qint64 first, qint64 last)
{
    const bool batch = last > first || m_inBatch;
    if (m_session && !batch) {
        m_interval = m_session->samplingSeconds();
        m_downloading = m_session->downloading();
    }
    // A recorded row, one at a time: placed at its capture time, nothing more to work out.
    if (!batch && m_table->capturedPacked(first) != 0) {
        place(first, MeasurementTable::msOfPacked(m_table->capturedPacked(first)), false, true);
        emit changed();
        return;
    }
    // Rows with only a time of day are dated together, from the file's date.
    std::vector<qint64> assumed;
    std::vector<int> tods;
    for (qint64 r = first; r <= last; ++r)
        if (m_table->capturedPacked(r) == 0)
            tods.push_back(FileDates::msOfDay(m_table->text(r, MeasurementTable::FieldTime)));
    m_untimed += qint64(std::count(tods.begin(), tods.end(), -1));
    if (!tods.empty()) {
        assumed = FileDates::assume(tods, m_fileDate.isValid() ? m_fileDate : QDate::currentDate());
        m_assumed += qint64(assumed.size());
        m_fileDate = QDate();
        if (!m_pendingBreak)
            breakNext(Why::Loaded);
    }
    std::vector<qint64> times;
    times.reserve(size_t(last - first + 1));
    size_t nextAssumed = 0;
    for (qint64 r = first; r <= last; ++r) {
        const qint64 packed = m_table->capturedPacked(r);
        times.push_back(packed != 0 ? MeasurementTable::msOfPacked(packed)
                                    : assumed[nextAssumed++]);
    }
    // A file or journal says nothing of the interval it was recorded at: its rows' usual
    // spacing stands for it.
    m_batchThreshold = batch ? qMax(MinGapMs, 3 * usualSpacing(times)) : 0;
    m_batchFirst = first;
    for (qint64 r = first; r <= last; ++r)
        place(r, times[size_t(r - first)], batch || m_table->capturedPacked(r) == 0, r == first);
    if (batch) {
        // The notes of a restored journal, on its rows; its ids after those already here (a
        // second journal numbers its notes from 1 too).
        const qint64 idBase = m_notes->nextId() - 1;
        for (const DataFiles::Mark &m : m_marks)
            if (m.Word.startsWith("note") &&
                !m_notes->applyMark(m.Word, m.Rest, m_batchFirst, idBase))
                ++m_unreadNotes;
        m_marks.clear();
    }
    emit changed();
}

void Timeline::place(qint64 row, qint64 timeMs, bool batch, bool batchStart)
{
    const bool downloaded = !batch && m_downloading;
    const quint8 tag = batch ? FromFile : downloaded ? Downloaded : Recorded;
    const qint64 rows = m_series.rows();
    const qint64 previous = rows > 0 ? m_series.timeMs(rows - 1) : 0;
    bool brk = false;
    Why why = Why::Silence;
    qint64 silence = 0;
    // A mark of the journal the rows come from, for this row.
    std::optional<Why> marked;
    while (batch && m_nextMark < m_marks.size() && m_marks[m_nextMark].Row <= row - m_batchFirst)
        if (m_marks[m_nextMark++].Row == row - m_batchFirst && !marked)
            marked = whyOf(m_marks[m_nextMark - 1].Word); // the first reason stands
    if (m_pendingBreak && (!batch || batchStart)) {
        brk = true;
        why = m_pendingWhy;
        m_pendingBreak = false;
    } else if (marked) {
        brk = true;
        why = *marked;
    } else if (!batch && m_arrivals && !downloaded) {
        // Live: by the readings that arrived, stored or not.
        if (m_lastArrival >= 0 && m_silence > gapThresholdMs()) {
            brk = true;
            silence = m_silence;
        } else if (rows > 0 && timeMs - previous > gapThresholdMs() &&
                   m_table->steadySpanMs(row - 1)) {
            // Readings came all along, but the wall clock was set forward between them.
            brk = true;
            why = Why::ClockSet;
        }
    } else if (rows > 0 && timeMs - previous > (batch ? m_batchThreshold : gapThresholdMs())) {
        brk = true; // by the rows' own times
    }
    if (!batch) {
        m_silence = 0;
        m_arrivals = false;
    }
    const bool newRun = row == 0 || (batch && batchStart) || downloaded != m_lastDownloaded ||
                        (!batch && m_series.runs().back().Tag == FromFile);
    m_lastDownloaded = downloaded;
    if (brk && rows > 0 && timeMs > previous)
        m_gaps.push_back(Gap{previous, timeMs, row, why, silence});
    m_series.append(timeMs, valueOf(row), brk, newRun, tag);
}

const std::vector<Timeline::Gap> &Timeline::gaps() const
{
    if (!m_series.manyRuns())
        return m_gaps;
    if (m_orderGapsAt != m_series.orderBreaks() || m_orderGapsTo > m_series.rows()) {
        m_orderGaps.clear();
        m_orderGapsTo = 0;
        m_orderGapsAt = m_series.orderBreaks();
        // As a file's rows are spaced by themselves: three times their usual spacing.
        m_orderGapsMin = qMax(MinGapMs, 3 * m_series.usualSpacingInTimeOrder());
    }
    if (m_orderGapsTo < m_series.rows()) {
        // The reason of a jump found as the rows came, where one has these very ends.
        std::vector<TimeSeries::Span> spans;
        m_orderGapsTo = m_series.spansInTimeOrder(m_orderGapsMin, m_orderGapsTo, spans);
        std::unordered_multimap<qint64, const Gap *> seen;
        if (!spans.empty())
            for (const Gap &g : m_gaps)
                seen.emplace(g.FromMs, &g);
        for (const TimeSeries::Span &span : spans) {
            Gap g{span.FromMs, span.ToMs, span.Row, Why::Silence, 0};
            const auto [first, end] = seen.equal_range(span.FromMs);
            for (auto at = first; at != end; ++at)
                if (at->second->ToMs == span.ToMs)
                    g = *at->second;
            m_orderGaps.push_back(g);
        }
    }
    return m_orderGaps;
}

const Timeline::Gap *Timeline::gapAt(double timeMs) const
{
    // Gaps are in row order, which is time order but for runs that go back: look at all of
    // the few there are near the end first.
    const std::vector<Gap> &all = gaps();
    for (auto g = all.crbegin(); g != all.crend(); ++g)
        if (timeMs >= double(g->FromMs) && timeMs <= double(g->ToMs))
            return &*g;
    return nullptr;
}
