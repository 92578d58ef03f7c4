#include "report/SummaryReport.h"

#include "report/ReportBlocks.h"

#include "alarms/AlarmMonitor.h"
#include "alarms/Statistics.h"
#include "output/SafeFile.h"
#include "recording/MeasurementTable.h"
#include "recording/ValueNumbers.h"
#include "timechart/TimeChartPlot.h"
#include "timeline/DailyFigures.h"
#include "timeline/Timeline.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QLocale>
#include <QPdfWriter>
#include <QTimeZone>
#include <cmath>
#include <functional>
#include <qcustomplot.h>

namespace SummaryReport {

namespace {

using namespace ReportBlocks;

constexpr int MaxGapLines = 45;   // a page of gaps
constexpr int MaxAlarmLines = 45; // and of alarms
constexpr int MaxNoteLines = 90;  // two pages of notes
constexpr int MaxAuditLines = 90; // and of the audit trail

// An audit entry: when, who, what, and the change, each whole (wrapped in its column).
Block auditRow(const AuditEntry &e)
{
    const QString change =
        e.Old.isEmpty() && e.New.isEmpty()
            ? QString()
            : (e.Old.isEmpty() ? e.New : e.Old + QStringLiteral(" \u2192 ") + e.New);
    return row({e.Time, e.Login + QLatin1Char('@') + e.Host, e.What, change},
               {0, 0.24, 0.40, 0.62});
}

// What the chart draws, each with a sample.
Block legend()
{
    return {Line, [](QPainter &p, double) { paintChartLegend(p, Line); }};
}

// The chart of the whole recording, painted as vectors.
Block chart(const SummaryInput &in, const QString &unit, const QString &limitUnit,
            const QList<AlarmEvent> &alarms)
{
    constexpr double Height = 250;
    return {Height, [&in, unit, limitUnit, alarms](QPainter &p, double width) {
                QCustomPlot plot;
                plot.setAttribute(Qt::WA_DontShowOnScreen);
                plot.resize(int(width), int(Height));
                auto ticker = QSharedPointer<ClockTicker>::create();
                ticker->setTickCount(6);
                plot.xAxis->setTicker(ticker);
                plot.yAxis->setLabel(unit.isEmpty() ? QStringLiteral("Temperature")
                                                    : QStringLiteral("Temperature (%1)").arg(unit));
                // Sizes in the report's units (points), whatever the device's resolution.
                QFont small = plot.font();
                small.setPixelSize(8);
                small.setStyleStrategy(QFont::PreferNoShaping);
                for (QCPAxis *axis : plot.axisRect()->axes()) {
                    axis->setTickLabelFont(small);
                    axis->setLabelFont(small);
                }
                auto *line = new TimelinePlottable(*in.Line, plot.xAxis, plot.yAxis);
                qint64 first = 0, last = 0;
                if (in.Line->series().timeRange(&first, &last)) {
                    const double span = qMax(60.0, double(last - first) / 1000);
                    plot.xAxis->setRange(double(first) / 1000 - span * 0.01,
                                         double(last) / 1000 + span * 0.02);
                }
                const TimeSeries::Summary s =
                    in.Line->series().summary(0, in.Line->series().rows());
                if (s.hasNumbers()) {
                    const double margin = qMax(0.5, (double(s.Max) - s.Min) * 0.08);
                    plot.yAxis->setRange(double(s.Min) - margin, double(s.Max) + margin);
                }
                std::vector<std::pair<double, double>> spans;
                for (const AlarmEvent &e : alarms)
                    if (!e.Start || e.OpenAtEnd)
                        spans.emplace_back(double(e.BreachStart.toMSecsSinceEpoch()) / 1000,
                                           double(e.Time.toMSecsSinceEpoch()) / 1000);
                line->setAlarmSpans(std::move(spans));
                for (const std::optional<double> limit : {in.Limits.High, in.Limits.Low}) {
                    if (!limit)
                        continue;
                    auto *l = new QCPItemStraightLine(&plot);
                    l->setPen(QPen(QColor(200, 30, 30), 1, Qt::DashLine));
                    // Drawn where it lies in the chart's unit.
                    const double at = AlarmRules::convert(*limit, limitUnit, unit);
                    l->point1->setCoords(0, at);
                    l->point2->setCoords(1, at);
                }
                auto *qcp = static_cast<QCPPainter *>(&p);
                plot.toPainter(qcp, int(width), int(Height));
            }};
}

} // namespace

QPageSize localePageSize()
{
    switch (QLocale().measurementSystem()) {
    case QLocale::ImperialUSSystem:
        return QPageSize(QPageSize::Letter);
    default:
        return QPageSize(QPageSize::A4);
    }
}

QList<AlarmEvent> alarmsOf(const MeasurementTable &table, const Timeline &line,
                           const LimitsHistory &limits, double gapSeconds,
                           const std::vector<qint64> &runStarts)
{
    // Each run (a cable's rows) on its own: one cable's alarm never ends on another's reading.
    const TimeSeries &s = line.series();
    const qint64 rows = qMin(table.count(), s.rows());
    QList<AlarmEvent> events;
    for (size_t i = 0; i < qMax<size_t>(1, runStarts.size()); ++i) {
        const qint64 first = runStarts.empty() ? 0 : runStarts[i];
        const qint64 last = i + 1 < runStarts.size() ? runStarts[i + 1] - 1 : rows - 1;
        events += replayAlarms(
            table, first, last, [&s](qint64 r) { return s.timeMs(r); }, limits, gapSeconds, false);
    }
    return events;
}

int paint(const SummaryInput &in, QPagedPaintDevice *device)
{
    const MeasurementTable &table = *in.Table;
    const TimeSeries &series = in.Line->series();
    const QString unit = table.lastUnitName();
    // The units the readings are in, each once, in the order they first come.
    QStringList units;
    {
        std::vector<char> seen;
        for (qint64 r = 0; r < table.count(); ++r) {
            const quint32 u = table.textId(r, MeasurementTable::FieldUnit);
            if (u >= seen.size())
                seen.resize(size_t(u) + 1, 0);
            if (!std::exchange(seen[u], 1))
                units << MeasurementTable::unitName(table.textById(u));
        }
        units.removeDuplicates();
    }
    // The limits keep their unit; given without one, they are in that of the first reading.
    const QString limitUnit = !in.Limits.Unit.isEmpty() ? in.Limits.Unit : units.value(0, unit);
    std::vector<Block> blocks;
    // No alarm runs and no time counts across a gap of the chart: three sampling intervals,
    // or three times the readings' usual spacing where that is longer, at least 10 s.
    const double gapSeconds = gapSecondsOf(
        double(std::max<qint64>(in.IntervalSeconds.value_or(0), series.usualSpacingSeconds())));
    // The alarms as the rows give them, whatever was seen live (a restored or loaded recording
    // has them as well), each reading judged by the limits in force at it, with those still on
    // at the end.
    const LimitsHistory history =
        in.LimitsInForce.empty() ? LimitsHistory{{0, in.Limits}} : in.LimitsInForce;
    const QList<AlarmEvent> alarms = alarmsOf(table, *in.Line, history, gapSeconds, in.RunStarts);
    const bool limitsSet = anyLimits(history);
    // With those of a logger gone blind, as they were seen, in the order of their starts.
    QList<AlarmEvent> allAlarms = alarms + in.BlindAlarms;
    std::stable_sort(
        allAlarms.begin(), allAlarms.end(),
        [](const AlarmEvent &a, const AlarmEvent &b) { return a.BreachStart < b.BreachStart; });

    // Who, what, when.
    blocks.push_back(heading(QStringLiteral("TX-9 Logger: summary of a recording")));
    // A file that is not what was recorded is still reported (a person must see what is wrong
    // with it), but said first, in words.
    QStringList failed;
    for (const FileVerification &v : in.Verification)
        if (v.Failed)
            failed << QStringLiteral("%1: %2").arg(v.File, v.Sentence);
    if (!failed.isEmpty())
        blocks.push_back(box(QStringList{QStringLiteral("WARNING: the data of this report failed "
                                                        "verification; it is not known to be what "
                                                        "was recorded. ") +
                                         failed.join(QStringLiteral("; "))},
                             true));
    if (!in.LoggerId.isEmpty())
        blocks.push_back(text(QStringLiteral("Logger: %1").arg(in.LoggerId)));
    if (!in.Cable.isEmpty())
        blocks.push_back(text(QStringLiteral("Cable: %1").arg(in.Cable)));
    for (const QString &source : in.Sources)
        blocks.push_back(text(QStringLiteral("From: %1").arg(source)));
    for (const QString &said : in.Remarks)
        paragraph(blocks, said);
    if (units.size() > 1)
        paragraph(blocks, (QStringLiteral("The readings are in more than one unit (%1): the "
                                          "alarms and the time beyond the limits convert "
                                          "them to %2; minimum, maximum and mean do not.")
                               .arg(units.join(QStringLiteral(", ")), limitUnit)));
    qint64 first = 0, last = 0;
    if (series.timeRange(&first, &last))
        blocks.push_back(
            text(QStringLiteral("Readings from %1 to %2 (%3)")
                     .arg(when(first), when(last), duration(double(last - first) / 1000))));
    // The seal of what is shown: kept elsewhere, it tells whether a file is still this one. In
    // a fixed-width font, which joins no letters: copied from the page, it reads as written.
    for (const QString &seal : in.Seals)
        blocks.push_back(fixedWidth(QStringLiteral("Seal: %1").arg(seal)));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    blocks.push_back(text(QStringLiteral("Times are local: %1")
                              .arg(series.rows() > 0 ? Timeline::zoneText(first, last)
                                                     : Timeline::zoneText(now, now))));
    if (in.Line->assumedDates() > 0)
        blocks.push_back(text(QStringLiteral("The dates of %1 readings from files are assumed "
                                             "(from each file's date).")
                                  .arg(in.Line->assumedDates())));
    if (in.IntervalSeconds)
        blocks.push_back(
            text(*in.IntervalSeconds == 0
                     ? QStringLiteral("Sampling interval: every reading")
                     : QStringLiteral("Sampling interval: %1 s").arg(*in.IntervalSeconds)));
    auto limitText = [&](double v) {
        return QStringLiteral("%1 %2").arg(v, 0, 'f', 2).arg(limitUnit);
    };
    const auto limitsText = [&](const AlarmSettings &l) {
        const auto inUnit = [&](double v) {
            return limitText(
                AlarmRules::convert(v, l.Unit.isEmpty() ? limitUnit : l.Unit, limitUnit));
        };
        QStringList limits;
        if (l.High)
            limits << QStringLiteral("high above %1").arg(inUnit(*l.High));
        if (l.Low)
            limits << QStringLiteral("low below %1").arg(inUnit(*l.Low));
        return limits.isEmpty() ? QStringLiteral("none set")
                                : QStringLiteral("%1; hold %2, hysteresis %3")
                                      .arg(limits.join(QStringLiteral(", ")),
                                           duration(l.HoldSeconds), limitText(l.Hysteresis));
    };
    // As they changed while the readings were taken, each from the reading it first judged.
    QStringList changes;
    for (const LimitChange &c : history)
        if (c.FromRow > 0 && c.FromRow < series.rows())
            changes << QStringLiteral("from %1: %2")
                           .arg(when(series.timeMs(c.FromRow)), limitsText(c.Settings));
        else if (c.FromRow <= 0)
            changes = QStringList{limitsText(c.Settings)};
    if (changes.isEmpty() || history.front().FromRow > 0)
        changes.prepend(QStringLiteral("none set"));
    blocks.push_back(
        text(QStringLiteral("Alarm limits: %1").arg(changes.join(QStringLiteral("; ")))));
    if (in.LimitsReplaced)
        paragraph(blocks, QStringLiteral("The limits given for this report replace those in "
                                         "force while the readings were taken."));
    blocks.push_back(
        text(QStringLiteral("Made on %1 by TX-9 Logger %2").arg(when(now), in.Version)));
    // What --verify says of each file read, and who signed the report for what.
    // In the fixed-width font, as the seals: copied from the page, it reads as written.
    for (const FileVerification &v : in.Verification)
        blocks.push_back(fixedWidth(QStringLiteral("Verified: %1: %2").arg(v.File, v.Sentence)));
    blocks.push_back({Gap / 2, {}});
    blocks.push_back(
        box(QStringList{in.Signed ? in.Signed->sentence() : QStringLiteral("Not signed")}, false));
    blocks.push_back({Gap, {}});
    blocks.push_back(chart(in, unit, limitUnit, alarms));
    blocks.push_back(legend());

    // The statistics.
    TableStatistics stats(table);
    stats.setLimits(in.Limits.High, in.Limits.Low, limitUnit);
    stats.setKinetics(in.ActivationKJ, gapSeconds);
    const StatSummary st = stats.whole();
    auto at = [&](qint64 row) {
        if (row < 0 || row >= series.rows())
            return QString();
        return when(series.timeMs(row));
    };
    auto number = [&](double v) { return QStringLiteral("%1 %2").arg(v, 0, 'f', 2).arg(unit); };
    const QList<double> statCols{0, 0.35, 0.6};
    blocks.push_back(heading(QStringLiteral("Statistics")));
    blocks.push_back(row({QStringLiteral("Readings"), QString::number(st.Rows)}, statCols));
    blocks.push_back(row({QStringLiteral("With a value"), QString::number(st.Count)}, statCols));
    // The readings without a value, by what the panel showed instead.
    qint64 above = 0, below = 0, none = 0;
    for (qint64 r = 0; r < series.rows(); ++r) {
        const float v = series.value(r);
        above += v == TimeSeries::Above;
        below += v == TimeSeries::Below;
        none += std::isnan(v);
    }
    if (above + below + none > 0) {
        QStringList kinds;
        if (above > 0)
            kinds << QStringLiteral("%1 above the range").arg(above);
        if (below > 0)
            kinds << QStringLiteral("%1 below it").arg(below);
        if (none > 0)
            kinds << QStringLiteral("%1 without a number (dashes)").arg(none);
        blocks.push_back(
            row({QStringLiteral("Without a value"), QString::number(above + below + none),
                 kinds.join(QStringLiteral(", "))},
                statCols));
    }
    if (st.Count > 0) {
        blocks.push_back(row({QStringLiteral("Minimum"), number(st.Min), at(st.MinRow)}, statCols));
        blocks.push_back(row({QStringLiteral("Maximum"), number(st.Max), at(st.MaxRow)}, statCols));
        blocks.push_back(row({QStringLiteral("Mean"), number(st.Mean)}, statCols));
        blocks.push_back(row({QStringLiteral("Standard deviation"), number(st.StdDev)}, statCols));
    }
    if (st.MktCelsius)
        blocks.push_back(
            row({QStringLiteral("Mean kinetic temperature"),
                 TableStatistics::mktText(*st.MktCelsius, unit),
                 QStringLiteral("\u0394H %1 kJ/mol, time weighted%2")
                     .arg(QString::number(in.ActivationKJ, 'g', 10),
                          st.SecondsWithoutNumber > 0 ? QStringLiteral("; %1 without a number")
                                                            .arg(duration(st.SecondsWithoutNumber))
                                                      : QString())},
                statCols));
    if (in.Limits.High)
        blocks.push_back(row({QStringLiteral("Time above %1").arg(limitText(*in.Limits.High)),
                              duration(st.SecondsAbove)},
                             statCols));
    if (in.Limits.Low)
        blocks.push_back(row({QStringLiteral("Time below %1").arg(limitText(*in.Limits.Low)),
                              duration(st.SecondsBelow)},
                             statCols));

    // Day by day, as a HACCP log holds it; a long recording goes on over the next pages.
    blocks.push_back(heading(QStringLiteral("Day by day (%1)").arg(unit)));
    const QList<double> dayCols{0, 0.14, 0.24, 0.33, 0.42, 0.51, 0.6, 0.7, 0.79, 0.87};
    blocks.push_back(row({QStringLiteral("Day"), QStringLiteral("Readings"), QStringLiteral("Min"),
                          QStringLiteral("Max"), QStringLiteral("Mean"), QStringLiteral("MKT"),
                          QStringLiteral("Above"), QStringLiteral("Below"),
                          QStringLiteral("Alarms"), QStringLiteral("No readings")},
                         dayCols, true));
    const auto clock = [](double seconds) {
        const qint64 s = qint64(seconds + 0.5);
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600, 2, 10, QLatin1Char('0'))
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    };
    for (const DayFigures &d : dailyFigures(*in.Line, stats, allAlarms)) {
        const StatSummary &f = d.Figures;
        const bool values = f.Count > 0;
        const auto n = [&](double v) { return values ? QString::number(v, 'f', 2) : QString(); };
        blocks.push_back(row(
            {d.Day.toString(Qt::ISODate), QString::number(f.Rows), n(f.Min), n(f.Max), n(f.Mean),
             f.MktCelsius
                 ? TableStatistics::mktText(*f.MktCelsius, unit).section(QLatin1Char(' '), 0, 0)
                 : QString(),
             in.Limits.High ? clock(f.SecondsAbove) : QStringLiteral("-"),
             in.Limits.Low ? clock(f.SecondsBelow) : QStringLiteral("-"), QString::number(d.Alarms),
             clock(d.SecondsWithoutReadings)},
            dayCols));
    }

    // The alarms: each from its start to its end.
    const QList<double> alarmCols{0, 0.17, 0.37, 0.57, 0.75};
    blocks.push_back(heading(QStringLiteral("Alarms")));
    if (!limitsSet)
        blocks.push_back(text(QStringLiteral("No limits were set.")));
    if (limitsSet || !in.BlindAlarms.isEmpty()) {
        blocks.push_back(
            row({QStringLiteral("Alarm"), QStringLiteral("Start"), QStringLiteral("End"),
                 QStringLiteral("Duration"), QStringLiteral("Worst")},
                alarmCols, true));
        // Each alarm once: its end, or its start when it was still on at the end.
        struct Listed
        {
            AlarmEvent Event;
            bool Open = false;
        };
        std::vector<Listed> listed;
        QList<AlarmEvent> open;
        for (const AlarmEvent &e : allAlarms) {
            // A start still on at the end stands as it was when the readings ended.
            if (e.Start) {
                open << e;
                continue;
            }
            open.removeIf([&](const AlarmEvent &o) {
                return o.Kind == e.Kind && o.BreachStart == e.BreachStart;
            });
            listed.push_back({e, false});
        }
        for (const AlarmEvent &e : open)
            listed.push_back({e, true});
        // A sensor that flaps makes thousands: a page of the longest then, in time order.
        const size_t all = listed.size();
        if (all > size_t(MaxAlarmLines)) {
            std::stable_sort(listed.begin(), listed.end(), [](const Listed &a, const Listed &b) {
                return (a.Open ? 1e300 : a.Event.Seconds) > (b.Open ? 1e300 : b.Event.Seconds);
            });
            listed.resize(size_t(MaxAlarmLines));
            std::stable_sort(listed.begin(), listed.end(), [](const Listed &a, const Listed &b) {
                return a.Event.BreachStart < b.Event.BreachStart;
            });
        }
        for (const Listed &l : listed) {
            const AlarmEvent &e = l.Event;
            blocks.push_back(
                row({AlarmRules::kindName(e.Kind),
                     e.BreachStart.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                     l.Open ? QStringLiteral("still on at the end")
                            : e.Time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                     l.Open ? (e.OpenAtEnd ? QStringLiteral("%1 so far").arg(duration(e.Seconds))
                                           : QString())
                            : duration(e.Seconds),
                     e.Worst ? QStringLiteral("%1 %2").arg(*e.Worst, 0, 'f', 2).arg(e.Unit)
                     : e.Detail.isEmpty() ? QStringLiteral("-")
                                          : e.Detail},
                    alarmCols));
        }
        if (all == 0)
            blocks.push_back(text(QStringLiteral("None.")));
        if (all > listed.size())
            blocks.push_back(text(QStringLiteral("... and %1 shorter alarms (%2 in all).")
                                      .arg(all - listed.size())
                                      .arg(all)));
    }

    // The notes, in time order.
    std::vector<Notes::Note> notes = in.Line->notes().all();
    std::stable_sort(notes.begin(), notes.end(), [](const Notes::Note &a, const Notes::Note &b) {
        return a.TimeMs < b.TimeMs;
    });
    blocks.push_back(heading(QStringLiteral("Notes")));
    if (notes.empty())
        blocks.push_back(text(QStringLiteral("None.")));
    for (size_t i = 0; i < notes.size() && i < size_t(MaxNoteLines); ++i) {
        const Notes::Note &n = notes[i];
        // Its number, as its mark on the chart shows it.
        blocks.push_back(row({QString::number(i + 1), when(n.TimeMs),
                              n.No ? QStringLiteral("No %1").arg(*n.No) : QString(), n.Text},
                             {0, 0.05, 0.33, 0.45}));
    }
    if (notes.size() > size_t(MaxNoteLines))
        blocks.push_back(text(QStringLiteral("... and %1 more notes (%2 in all), in the "
                                             "recordings.")
                                  .arg(notes.size() - size_t(MaxNoteLines))
                                  .arg(notes.size())));

    // The gaps, the longest first.
    std::vector<Timeline::Gap> gaps = in.Line->gaps();
    std::stable_sort(gaps.begin(), gaps.end(), [](const Timeline::Gap &a, const Timeline::Gap &b) {
        return a.ToMs - a.FromMs > b.ToMs - b.FromMs;
    });
    blocks.push_back(heading(QStringLiteral("Gaps")));
    if (gaps.empty())
        blocks.push_back(text(QStringLiteral("None.")));
    else
        blocks.push_back(row({QStringLiteral("From"), QStringLiteral("To"),
                              QStringLiteral("Length"), QStringLiteral("Why")},
                             {0, 0.28, 0.56, 0.72}, true));
    for (size_t i = 0; i < gaps.size() && i < size_t(MaxGapLines); ++i)
        blocks.push_back(row({when(gaps[i].FromMs), when(gaps[i].ToMs),
                              duration(double(gaps[i].ToMs - gaps[i].FromMs) / 1000),
                              Timeline::describe(gaps[i].Reason)},
                             {0, 0.28, 0.56, 0.72}));
    if (gaps.size() > size_t(MaxGapLines))
        blocks.push_back(
            text(QStringLiteral("... and %1 shorter gaps.").arg(gaps.size() - MaxGapLines)));

    // The audit trail of the recording: what changed what it holds or how it was taken.
    if (!in.Audit.empty() || !in.Seals.isEmpty()) {
        blocks.push_back(heading(QStringLiteral("Audit trail")));
        if (in.Audit.empty())
            blocks.push_back(text(QStringLiteral("None.")));
        for (size_t i = 0; i < in.Audit.size() && i < size_t(MaxAuditLines); ++i)
            blocks.push_back(auditRow(in.Audit[i]));
        if (in.Audit.size() > size_t(MaxAuditLines))
            blocks.push_back(text(QStringLiteral("... and %1 more entries (%2 in all), in the "
                                                 "audit log.")
                                      .arg(in.Audit.size() - size_t(MaxAuditLines))
                                      .arg(in.Audit.size())));
    }

    // Into pages: blocks never split; the footer on each.
    const QRectF page = device->pageLayout().paintRect(QPageLayout::Point);
    const double footer = Line * 2;

    QCPPainter painter;
    if (!painter.begin(device))
        return 0;
    painter.setMode(QCPPainter::pmVectorized);
    painter.setMode(QCPPainter::pmNoCaching);
    // Painted in points, on a device of any resolution: the fonts' sizes are given in the
    // painter's units too.
    const double scale = device->logicalDpiX() / 72.0;
    QFont font = painter.font();
    font.setPixelSize(9);
    // Letters drawn one by one: a seal or a file name copied from the page must read as it
    // was written ("ff" joined into one letter would copy as another character).
    font.setStyleStrategy(QFont::PreferNoShaping);
    painter.setFont(font);
    const auto pages = paginate(blocks, font, page.width(), page.height() - footer);
    const int total = int(pages.size());
    for (int n = 0; n < total; ++n) {
        if (n > 0)
            device->newPage();
        painter.save();
        painter.scale(scale, scale);
        for (const auto &[block, top] : pages[size_t(n)]) {
            if (!block->Paint)
                continue;
            painter.save();
            painter.translate(0, top);
            block->Paint(painter, page.width());
            painter.restore();
        }
        painter.drawText(
            QRectF(0, page.height() - Line, page.width(), Line), Qt::AlignRight | Qt::AlignVCenter,
            QStringLiteral("Page %1 of %2 - TX-9 Logger %3").arg(n + 1).arg(total).arg(in.Version));
        painter.restore();
    }
    painter.end();
    return total;
}

QByteArray pdf(const SummaryInput &in, int *pages)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setCreator(QStringLiteral("TX-9 Logger %1").arg(in.Version));
    writer.setTitle(QStringLiteral("TX-9 Logger summary"));
    writer.setResolution(300);
    writer.setPageSize(localePageSize());
    writer.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
    const int painted = paint(in, &writer);
    if (pages)
        *pages = painted;
    return painted > 0 ? bytes : QByteArray();
}

bool writePdf(const SummaryInput &in, const QString &path, QString *reason)
{
    const QByteArray bytes = pdf(in);
    if (bytes.isEmpty()) {
        *reason = QStringLiteral("the report could not be drawn");
        return false;
    }
    return SafeFile::writeWhole(path, bytes, reason);
}

} // namespace SummaryReport
