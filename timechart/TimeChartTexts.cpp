// What the time chart says in words: the reading under the cursor, a gap's span, where a
// note goes, the notes list, and the texts below the chart (what is in view, the session).

#include "timechart/TimeChart.h"

#include "alarms/Statistics.h"

#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"
#include "timechart/TimeChartPlot.h"
#include "timeline/Timeline.h"

#include <QLabel>
#include <QListWidget>
#include <algorithm>
#include <cmath>

QString TimeChart::readingAt(double at) const
{
    return readingText(m_timeline.series().nearest(at * 1000));
}

QString TimeChart::readingText(qint64 row) const
{
    const TimeSeries &s = m_timeline.series();
    const MeasurementTable *table = m_timeline.table();
    if (row < 0 || !table || row >= table->count())
        return {};
    const QString value = table->text(row, MeasurementTable::FieldValue).trimmed();
    const float v = s.value(row);
    QString text =
        QStringLiteral("%1   %2   No %3")
            .arg(Timeline::clockText(s.timeMs(row)),
                 std::isinf(v) ? (v > 0 ? QStringLiteral("above range (%1)")
                                        : QStringLiteral("below range (%1)"))
                                     .arg(value)
                 : std::isnan(v) ? QStringLiteral("no reading (%1)").arg(value)
                                 : value + QLatin1Char(' ') +
                                       MeasurementTable::unitName(
                                           table->text(row, MeasurementTable::FieldUnit)))
            .arg(table->no(row) ? QString::number(*table->no(row)) : QStringLiteral("-"));
    const auto run =
        std::upper_bound(s.runs().cbegin(), s.runs().cend(), row,
                         [](qint64 r, const TimeSeries::Run &x) { return r < x.First; });
    if (run != s.runs().cbegin()) {
        const quint8 tag = std::prev(run)->Tag;
        if (tag == Timeline::Downloaded)
            text += QStringLiteral("   (downloaded at this time)");
        else if (tag == Timeline::FromFile && table->capturedPacked(row) == 0)
            text += QStringLiteral("   (date assumed from the file)");
    }
    return text;
}

QString TimeChart::gapAt(double at) const
{
    const Timeline::Gap *g = m_timeline.gapAt(at * 1000);
    if (!g)
        return {};
    return QStringLiteral("No readings from %1 to %2 (%3): %4")
        .arg(Timeline::clockText(g->FromMs), Timeline::clockText(g->ToMs),
             Timeline::spanText(g->ToMs - g->FromMs), Timeline::describe(g->Reason));
}

std::pair<qint64, qint64> TimeChart::noteTarget(double at) const
{
    const TimeSeries &s = m_timeline.series();
    const qint64 row = s.nearest(at * 1000);
    // Within four pixels of a reading: on that reading.
    const double msPerPixel = view().size() * 1000 / qMax(1, m_plot->axisRect()->width());
    if (row >= 0 && std::abs(double(s.timeMs(row)) - at * 1000) <= 4 * msPerPixel)
        return {s.timeMs(row), row};
    return {qint64(std::llround(at * 1000)), -1};
}

void TimeChart::listNotes()
{
    m_notes->clear();
    // In time order, whenever and from wherever each came.
    std::vector<Notes::Note> notes = m_timeline.notes().all();
    std::stable_sort(notes.begin(), notes.end(), [](const Notes::Note &a, const Notes::Note &b) {
        return a.TimeMs < b.TimeMs;
    });
    int number = 0;
    for (const Notes::Note &n : notes) {
        // Its number, as its mark on the chart shows it.
        auto *item = new QListWidgetItem(
            QStringLiteral("%1.  %2   %3%4")
                .arg(++number)
                .arg(Timeline::clockText(n.TimeMs),
                     n.No ? QStringLiteral("No %1   ").arg(*n.No) : QString(), n.Text),
            m_notes);
        item->setData(Qt::UserRole, n.Id);
    }
}

QString TimeChart::cursorText() const
{
    return m_cursor->text();
}

void TimeChart::setStatistics(const TableStatistics *stats)
{
    m_stats = stats;
    m_mktView.reset();
    if (stats) {
        connect(stats, &TableStatistics::changed, m_replot, qOverload<>(&QTimer::start),
                Qt::UniqueConnection);
        connect(stats, &TableStatistics::changed, this, [this] { m_mktView.reset(); });
    }
    updateTexts();
}

std::optional<double> TimeChart::viewMkt() const
{
    if (!m_stats)
        return std::nullopt;
    // The rows in view, run by run: their sums, block by block.
    const TimeSeries &series = m_timeline.series();
    std::vector<std::pair<qint64, qint64>> rows;
    for (const TimeSeries::Run &r : series.runs())
        if (const auto [first, end] = series.rowsIn(r, view().lower * 1000, view().upper * 1000);
            end > first)
            rows.emplace_back(first, end - 1);
    return m_stats->ranges(rows).MktCelsius;
}

QString TimeChart::viewText() const
{
    return m_inView->text();
}

QString TimeChart::statusText() const
{
    return m_status->text();
}

void TimeChart::updateTexts()
{
    const TimeSeries::Summary s =
        m_timeline.series().summaryIn(view().lower * 1000, view().upper * 1000);
    const MeasurementTable *table = m_timeline.table();
    const QString unit = table ? table->lastUnitName() : QString();
    QString inView = QStringLiteral("In view: %1 readings").arg(s.Count);
    if (s.hasNumbers())
        inView += QStringLiteral(", min %1, max %2, mean %3 %4")
                      .arg(double(s.Min), 0, 'f', 1)
                      .arg(double(s.Max), 0, 'f', 1)
                      .arg(s.Sum / double(s.Count), 0, 'f', 2)
                      .arg(unit);
    // A redraw of the same view over the same rows says the same: worked out again only when
    // the view or the statistics changed.
    if (!m_mktView || m_mktView->first != view().lower || m_mktView->second != view().upper) {
        m_mkt = viewMkt();
        m_mktView = std::make_pair(view().lower, view().upper);
    }
    if (const std::optional<double> mkt = m_mkt)
        inView += QStringLiteral(", MKT %1").arg(TableStatistics::mktText(*mkt, unit));
    if (s.Flags & (TimeSeries::HasAbove | TimeSeries::HasBelow))
        inView += QStringLiteral("; readings beyond the range are marked on the edges");
    m_inView->setText(inView);
    const QString axis = unit.isEmpty() ? QStringLiteral("Temperature")
                                        : QStringLiteral("Temperature (%1)").arg(unit);
    if (m_plot->yAxis->label() != axis)
        m_plot->yAxis->setLabel(axis);
    followCursor();

    QStringList status;
    if (m_session)
        status << (m_cable.isEmpty() ? QStringLiteral("Not connected.")
                                     : QStringLiteral("Recording from %1.").arg(m_cable));
    if (m_limitReached && m_session)
        status << QStringLiteral("Recording stopped: the record limit (%1) is reached.")
                      .arg(m_session->state().RecordLimit);
    if (const qint64 assumed = m_timeline.assumedDates(); assumed > 0)
        status << QStringLiteral("Dates of %1 readings from files are assumed (from each "
                                 "file's date).")
                      .arg(assumed);
    m_status->setText(status.join(QLatin1Char(' ')));
}
