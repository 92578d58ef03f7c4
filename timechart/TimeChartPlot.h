#pragma once
// What the time chart draws inside QCustomPlot: a Timeline from its level of detail (per pixel
// column its first, lowest, highest and last reading, so every extreme in view is drawn), the
// gaps shaded, readings above or below the range as markers on the edges, downloaded rows in
// a colour of their own; and the clock-time axis' labels.

#include <QDate>
#include <qcustomplot.h>

#include <vector>

class Timeline;

class TimelinePlottable : public QCPAbstractPlottable
{
    Q_OBJECT
public:
    TimelinePlottable(const Timeline &timeline, QCPAxis *keyAxis, QCPAxis *valueAxis);

    static const QColor RecordedColour, DownloadedColour, FileColour;

    double selectTest(const QPointF &pos, bool onlySelectable,
                      QVariant *details = nullptr) const override;
    QCPRange getKeyRange(bool &foundRange,
                         QCP::SignDomain inSignDomain = QCP::sdBoth) const override;
    QCPRange getValueRange(bool &foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth,
                           const QCPRange &inKeyRange = QCPRange()) const override;

    // Alarm spans (seconds since the epoch) shaded behind the line.
    void setAlarmSpans(std::vector<std::pair<double, double>> spans)
    {
        m_alarms = std::move(spans);
    }
    const std::vector<std::pair<double, double>> &alarmSpans() const { return m_alarms; }

protected:
    void draw(QCPPainter *painter) override;
    void drawLegendIcon(QCPPainter *painter, const QRectF &rect) const override;

private:
    const Timeline &m_timeline;
    std::vector<std::pair<double, double>> m_alarms;
    std::vector<QPointF> m_points; // reused from redraw to redraw
    std::vector<QRect> m_bars;
};

// The marks of notes on a chart: each note's number (in time order, as the notes lists give
// them) in a box near the top of area, at its x or beside it, placed so that no two boxes meet
// and none leaves area: a box that would meet the one before it goes a row lower, and back to
// the first row once there is room. widths: each box's width; height: every box's. Returns
// the boxes, in the order given (xs ascending).
std::vector<QRectF> placeNoteMarks(const std::vector<double> &xs, const std::vector<double> &widths,
                                   double height, const QRectF &area);
// What a chart of the timeline draws, each with a sample, on one line height high from the
// painter's origin: the line of readings (as recorded, loaded or downloaded), alarm and gap
// shading, a note, a reading beyond the range, a limit. Returns the width painted.
double paintChartLegend(QPainter &p, double height);

// Clock time on the key axis (seconds since the epoch), local: times of day, with dates where
// the view crosses midnight, dates alone for weeks, and the UTC offset where the clocks going
// back make a time of day occur twice.
class ClockTicker : public QCPAxisTickerDateTime
{
public:
    void generate(const QCPRange &range, const QLocale &locale, QChar formatChar, int precision,
                  QVector<double> &ticks, QVector<double> *subTicks,
                  QVector<QString> *tickLabels) override;
    // The label of a time for ticks step seconds apart in a view that crosses midnight or not.
    // A tick's label; the date carries its year when it is not thisYear.
    static QString label(double seconds, double step, bool crossesMidnight,
                         int thisYear = QDate::currentDate().year());

protected:
    // Steps of clock units, seconds to weeks; ticks on local whole units.
    double getTickStep(const QCPRange &range) override;
    QString getTickLabel(double tick, const QLocale &locale, QChar formatChar,
                         int precision) override;

private:
    double m_span = 0;
    double m_step = 1;
    bool m_crossesMidnight = false;
};
