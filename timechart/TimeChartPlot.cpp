#include "timechart/TimeChartPlot.h"

#include "timeline/Timeline.h"

#include <algorithm>

const QColor TimelinePlottable::RecordedColour(0x1f, 0x5f, 0xbf);
const QColor TimelinePlottable::DownloadedColour(0xd9, 0x7a, 0x00);
const QColor TimelinePlottable::FileColour(0x2e, 0x8b, 0x57);

TimelinePlottable::TimelinePlottable(const Timeline &timeline, QCPAxis *keyAxis, QCPAxis *valueAxis)
    : QCPAbstractPlottable(keyAxis, valueAxis), m_timeline(timeline)
{
    setSelectable(QCP::stNone);
    setAntialiased(true);
}

double TimelinePlottable::selectTest(const QPointF &, bool, QVariant *) const
{
    return -1;
}

QCPRange TimelinePlottable::getKeyRange(bool &foundRange, QCP::SignDomain) const
{
    qint64 first = 0, last = 0;
    foundRange = m_timeline.series().timeRange(&first, &last);
    return foundRange ? QCPRange(double(first) / 1000, double(last) / 1000) : QCPRange();
}

QCPRange TimelinePlottable::getValueRange(bool &foundRange, QCP::SignDomain,
                                          const QCPRange &inKeyRange) const
{
    const TimeSeries &s = m_timeline.series();
    const TimeSeries::Summary sum =
        inKeyRange == QCPRange() ? s.summary(0, s.rows())
                                 : s.summaryIn(inKeyRange.lower * 1000, inKeyRange.upper * 1000);
    foundRange = sum.hasNumbers();
    return foundRange ? QCPRange(sum.Min, sum.Max) : QCPRange();
}

void TimelinePlottable::drawLegendIcon(QCPPainter *painter, const QRectF &rect) const
{
    painter->setPen(QPen(RecordedColour, 2));
    painter->drawLine(QLineF(rect.left(), rect.center().y(), rect.right(), rect.center().y()));
}

void TimelinePlottable::draw(QCPPainter *painter)
{
    QCPAxis *key = mKeyAxis.data(), *value = mValueAxis.data();
    if (!key || !value)
        return;
    const QRect area = key->axisRect()->rect();
    const double fromMs = key->range().lower * 1000, toMs = key->range().upper * 1000;
    const int n = qMax(1, area.width());
    const double columnWidth = double(area.width()) / n;
    const TimeSeries &s = m_timeline.series();
    auto xOf = [&](double ms) { return key->coordToPixel(ms / 1000); };
    // Spans (alarms, gaps) as whole pixels, merged where they touch, filled in one call
    // without antialiasing. A span narrower than a few pixels (a long recording seen whole)
    // is a short mark on an edge instead: a tall fill a pixel wide costs the rasteriser a
    // call per line, and would hardly be seen.
    auto shade = [&](const std::vector<std::pair<double, double>> &spansMs, QColor colour,
                     bool atTop, bool narrowOnes) {
        const int Narrow = qMax(3, area.width() / 100), MarkHeight = 10;
        if (narrowOnes)
            colour.setAlpha(qMin(255, colour.alpha() * 4));
        m_bars.clear();
        for (const auto &[fromSpanMs, toSpanMs] : spansMs) {
            if (toSpanMs < fromMs || fromSpanMs > toMs)
                continue;
            const int x0 = qMax(area.left(), int(std::floor(xOf(fromSpanMs))));
            const int x1 = qMax(x0 + 1, qMin(area.right(), int(std::ceil(xOf(toSpanMs)))));
            const bool narrow = x1 - x0 < Narrow;
            if (narrow != narrowOnes)
                continue;
            const int top = !narrow || atTop ? area.top() : area.bottom() - MarkHeight;
            const int height = narrow ? MarkHeight : area.height();
            if (!m_bars.empty() && m_bars.back().top() == top && m_bars.back().height() == height &&
                x0 <= m_bars.back().right() + 1 && x0 >= m_bars.back().left())
                m_bars.back().setRight(qMax(m_bars.back().right(), x1 - 1));
            else
                m_bars.emplace_back(x0, top, x1 - x0, height);
        }
        painter->setPen(Qt::NoPen);
        painter->setBrush(colour);
        painter->drawRects(m_bars.data(), int(m_bars.size()));
        m_bars.clear();
    };
    const bool antialiased = painter->antialiasing();
    painter->setAntialiasing(false);
    std::vector<std::pair<double, double>> spans;
    for (const auto &[from, to] : m_alarms)
        spans.emplace_back(from * 1000, to * 1000);
    for (const bool narrow : {false, true})
        shade(spans, QColor(220, 40, 40, 38), true, narrow);
    spans.clear();
    for (const Timeline::Gap &g : m_timeline.gaps())
        spans.emplace_back(double(g.FromMs), double(g.ToMs));
    for (const bool narrow : {false, true})
        shade(spans, QColor(120, 120, 120, 45), false, narrow);
    painter->setAntialiasing(antialiased);

    std::vector<TimeSeries::Column> columns;
    std::vector<std::pair<double, bool>> markers; // x, above
    // One stretch of columns: a line through each column's first and last reading, a bar
    // over its extremes. merged: columns of all rows in time order, joined only where they
    // touch (the rows between them may belong to any run).
    auto drawColumns = [&](const QColor &colour, bool merged) {
        // A cosmetic pen one pixel wide: the rasteriser's fast path, antialiased all the same.
        QPen pen(colour, 1);
        pen.setCosmetic(true);
        painter->setPen(pen);
        painter->setBrush(colour);
        auto flush = [&] {
            if (m_points.size() == 1)
                painter->drawEllipse(m_points.front(), 1.8, 1.8);
            else if (m_points.size() > 1)
                painter->drawPolyline(m_points.data(), int(m_points.size()));
            m_points.clear();
        };
        qint64 lastRow = -1; // the row the line stands at, if it goes on
        for (int k = 0; k < n; ++k) {
            const TimeSeries::Column &c = columns[size_t(k)];
            if (c.empty()) {
                if (merged) {
                    flush();
                    lastRow = -1;
                }
                continue;
            }
            const double x = area.left() + (k + 0.5) * columnWidth;
            if (c.S.Flags & TimeSeries::HasAbove)
                markers.emplace_back(x, true);
            if (c.S.Flags & TimeSeries::HasBelow)
                markers.emplace_back(x, false);
            if (c.S.Count == 0) {
                flush();
                lastRow = -1;
                continue;
            }
            const float first = s.value(c.FirstRow), last = s.value(c.LastRow);
            const bool joins = lastRow >= 0 && std::isfinite(s.value(lastRow)) &&
                               std::isfinite(first) &&
                               (merged || !s.brokenBetween(lastRow, c.First));
            if (!joins)
                flush();
            // Every extreme of the column: a bar from its lowest to its highest reading, a pixel
            // wide (drawn after the line); the line goes through its first and last.
            const double top = value->coordToPixel(c.S.Max), bottom = value->coordToPixel(c.S.Min);
            if (bottom - top >= 1)
                m_bars.emplace_back(int(std::floor(x)), int(std::floor(top)), 1,
                                    int(std::ceil(bottom)) - int(std::floor(top)));
            m_points.emplace_back(x, value->coordToPixel(std::isfinite(first) ? first : c.S.Min));
            if (c.End - c.First > 1)
                m_points.emplace_back(x, value->coordToPixel(std::isfinite(last) ? last : c.S.Max));
            lastRow = c.LastRow;
        }
        flush();
        // The bars are plain fills: whole pixels, no antialiasing needed. On paper (a PDF, a
        // printer) they are hairlines: a unit there is a point, not a pixel.
        const bool antialiased = painter->antialiasing();
        painter->setAntialiasing(false);
        if (painter->modes().testFlag(QCPPainter::pmVectorized))
            for (const QRect &bar : m_bars)
                painter->drawLine(QLineF(bar.left() + 0.5, bar.top(), bar.left() + 0.5,
                                         bar.top() + bar.height()));
        else {
            // In one call: a call of its own for each of a thousand columns costs more than
            // the pixels.
            painter->setPen(Qt::NoPen);
            painter->setBrush(colour);
            painter->drawRects(m_bars.data(), int(m_bars.size()));
        }
        painter->setAntialiasing(antialiased);
        m_bars.clear();
    };
    auto colourOf = [](quint8 tag) {
        return tag == Timeline::Downloaded ? DownloadedColour
               : tag == Timeline::FromFile ? FileColour
                                           : RecordedColour;
    };
    if (s.manyRuns()) {
        // Rows far out of time order: one stretch over all of them, its cost the pixels'.
        s.mergedColumns(fromMs, toMs, n, columns);
        drawColumns(colourOf(s.runs().front().Tag), true);
    }
    static const std::vector<TimeSeries::Run> none;
    for (const TimeSeries::Run &run : s.manyRuns() ? none : s.runs()) {
        if (double(s.timeMs(run.End - 1)) < fromMs || double(s.timeMs(run.First)) >= toMs)
            continue;
        s.columns(run, fromMs, toMs, n, columns);
        drawColumns(colourOf(run.Tag), false);
        if (run.Tag == Timeline::Downloaded && double(s.timeMs(run.First)) >= fromMs) {
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(s.timeMs(run.First));
            painter->setPen(DownloadedColour);
            painter->drawText(
                QPointF(xOf(double(s.timeMs(run.First))) + 3, area.top() + 24),
                QStringLiteral("downloaded at %1").arg(at.toString(QStringLiteral("HH:mm:ss"))));
        }
    }
    // The notes: a dotted line at each, and its number (its place in time order, as the
    // notes list below the chart gives it with its text) in a box at the top; boxes never
    // overlap nor leave the chart, however close the notes.
    QPen notePen(QColor(90, 90, 140), 1, Qt::DotLine);
    notePen.setCosmetic(true);
    std::vector<Notes::Note> notes = m_timeline.notes().all();
    std::stable_sort(notes.begin(), notes.end(), [](const Notes::Note &a, const Notes::Note &b) {
        return a.TimeMs < b.TimeMs;
    });
    std::vector<double> xs, widths;
    std::vector<int> numbers;
    const QFontMetricsF metrics(painter->font());
    for (size_t i = 0; i < notes.size(); ++i) {
        const double ms = double(notes[i].TimeMs);
        if (ms < fromMs || ms > toMs)
            continue;
        xs.push_back(xOf(ms));
        numbers.push_back(int(i) + 1);
        widths.push_back(metrics.horizontalAdvance(QString::number(i + 1)) + 6);
        painter->setPen(notePen);
        painter->drawLine(QLineF(xs.back(), area.top(), xs.back(), area.bottom()));
    }
    const std::vector<QRectF> boxes =
        placeNoteMarks(xs, widths, metrics.height() + 2, QRectF(area).adjusted(0, 14, 0, 0));
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (boxes[i].isEmpty())
            continue;
        painter->setPen(QColor(60, 60, 110));
        painter->setBrush(QColor(255, 255, 255, 220));
        painter->drawRect(boxes[i]);
        painter->drawText(boxes[i], Qt::AlignCenter, QString::number(numbers[i]));
    }
    painter->setBrush(Qt::NoBrush);
    // Readings above or below the range: marks on the edges, never values. Each column with
    // one gets a strip along its edge; a triangle marks where a stretch of them begins.
    painter->setPen(Qt::NoPen);
    const QColor markColour(200, 30, 30);
    painter->setBrush(markColour);
    double lastAbove = -100, lastBelow = -100;
    for (const auto &[x, above] : markers) {
        const int edge = above ? area.top() : area.bottom() - 2;
        const bool antialiased = painter->antialiasing();
        painter->setAntialiasing(false);
        painter->fillRect(QRect(int(std::floor(x)) - 1, edge, 3, 3), markColour);
        painter->setAntialiasing(antialiased);
        double &last = above ? lastAbove : lastBelow;
        if (x - last > 8) {
            const double tip = above ? area.top() + 1 : area.bottom() - 1;
            const double base = above ? tip + 8 : tip - 8;
            const QPointF triangle[3] = {{x, tip}, {x - 4.5, base}, {x + 4.5, base}};
            painter->drawPolygon(triangle, 3);
        }
        last = x;
    }
}

std::vector<QRectF> placeNoteMarks(const std::vector<double> &xs, const std::vector<double> &widths,
                                   double height, const QRectF &area)
{
    std::vector<QRectF> boxes;
    const int rows = std::max(1, int(area.height() / height));
    std::vector<double> rowEnds(size_t(rows), -1e300); // the right edge of each row's last box
    for (size_t i = 0; i < xs.size(); ++i) {
        const double w = std::min(widths[i], area.width());
        // Centred on its line, moved in from the edges.
        const double left = std::clamp(xs[i] - w / 2, area.left(), area.right() - w);
        // The first row with room; a row that has none at all takes it beside its last box.
        int row = 0;
        while (row < rows && rowEnds[size_t(row)] + 1 > left)
            ++row;
        double x = left;
        if (row == rows) {
            row = int(std::min_element(rowEnds.begin(), rowEnds.end()) - rowEnds.begin());
            x = rowEnds[size_t(row)] + 1;
            if (x + w > area.right()) {
                // No room anywhere on the chart's width: the box is left out (its note is still
                // in the list).
                boxes.emplace_back();
                continue;
            }
        }
        boxes.emplace_back(x, area.top() + row * height, w, height - 1);
        rowEnds[size_t(row)] = x + w;
    }
    return boxes;
}

void ClockTicker::generate(const QCPRange &range, const QLocale &locale, QChar formatChar,
                           int precision, QVector<double> &ticks, QVector<double> *subTicks,
                           QVector<QString> *tickLabels)
{
    m_span = range.size();
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(qint64(range.lower * 1000));
    m_crossesMidnight =
        start.date() != QDateTime::fromMSecsSinceEpoch(qint64(range.upper * 1000)).date();
    // Whole local hours and days: the ticks count from a local midnight.
    setTickOrigin(-double(start.offsetFromUtc()));
    QCPAxisTickerDateTime::generate(range, locale, formatChar, precision, ticks, subTicks,
                                    tickLabels);
}

double ClockTicker::getTickStep(const QCPRange &range)
{
    static constexpr double Steps[] = {1,     2,     5,     10,    15,     30,     60,
                                       120,   300,   600,   900,   1800,   3600,   7200,
                                       10800, 21600, 43200, 86400, 172800, 604800, 1209600};
    const double wanted = range.size() / qMax(1, tickCount());
    m_step = Steps[std::size(Steps) - 1];
    for (const double step : Steps)
        if (step >= wanted) {
            m_step = step;
            return m_step;
        }
    // Months and years: whole multiples of four weeks.
    m_step = std::ceil(wanted / 2419200) * 2419200;
    return m_step;
}

QString ClockTicker::getTickLabel(double tick, const QLocale &, QChar, int)
{
    return label(tick, m_step, m_crossesMidnight);
}

QString ClockTicker::label(double seconds, double step, bool crossesMidnight, int thisYear)
{
    const qint64 ms = qint64(std::llround(seconds * 1000));
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    // A day of another year says which year: a recording of last winter is no recording of
    // this one.
    const QString day = t.date().year() == thisYear ? QStringLiteral("ddd d MMM")
                                                    : QStringLiteral("ddd d MMM yyyy");
    if (step >= 86400)
        return t.toString(step >= 2419200 ? QStringLiteral("d MMM yyyy") : day);
    QString text = t.toString(step < 60 ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm"));
    // The same wall time an hour either side: the clocks went back, the offset tells which.
    const QString wall = t.toString(QStringLiteral("yyyyMMddHHmmss"));
    for (const qint64 other : {ms - 3600000, ms + 3600000}) {
        if (QDateTime::fromMSecsSinceEpoch(other).toString(QStringLiteral("yyyyMMddHHmmss")) !=
            wall)
            continue;
        const int offset = t.offsetFromUtc();
        text += QStringLiteral(" UTC%1%2:%3")
                    .arg(offset >= 0 ? QLatin1Char('+') : QLatin1Char('-'))
                    .arg(qAbs(offset) / 3600, 2, 10, QLatin1Char('0'))
                    .arg(qAbs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
        break;
    }
    if (crossesMidnight)
        text += QLatin1Char('\n') + t.toString(day);
    return text;
}

double paintChartLegend(QPainter &p, double height)
{
    double x = 0;
    const double y = height / 2;
    auto label = [&](const QString &text) {
        const double w = p.fontMetrics().horizontalAdvance(text);
        p.setPen(Qt::black);
        p.drawText(QRectF(x, 0, w + 2, height), Qt::AlignLeft | Qt::AlignVCenter, text);
        x += w + 12;
    };
    auto lineSample = [&](const QColor &c, Qt::PenStyle style) {
        p.setPen(QPen(c, 1.2, style));
        p.drawLine(QLineF(x, y, x + 14, y));
        x += 18;
    };
    auto boxSample = [&](const QColor &c) {
        p.fillRect(QRectF(x, y - 4, 12, 8), c);
        x += 16;
    };
    lineSample(TimelinePlottable::RecordedColour, Qt::SolidLine);
    label(QStringLiteral("readings"));
    lineSample(TimelinePlottable::FileColour, Qt::SolidLine);
    label(QStringLiteral("from files"));
    lineSample(TimelinePlottable::DownloadedColour, Qt::SolidLine);
    label(QStringLiteral("downloaded"));
    boxSample(QColor(220, 40, 40, 60));
    label(QStringLiteral("alarm"));
    boxSample(QColor(120, 120, 120, 70));
    label(QStringLiteral("gap"));
    lineSample(QColor(90, 90, 140), Qt::DotLine);
    label(QStringLiteral("note"));
    p.fillRect(QRectF(x, y - 2, 5, 4), QColor(200, 30, 30));
    x += 9;
    label(QStringLiteral("beyond the range"));
    lineSample(QColor(200, 30, 30), Qt::DashLine);
    label(QStringLiteral("limit"));
    return x;
}
