#include "recording/uCharControl.h"

#include "display/Fonts.h"
#include <QLocale>
#include <qcustomplot.h>

QString TChartControl::measurementNoLabel(double tick, QLocale locale)
{
    // The chart's own locale leaves the group separator out; "#,##" puts the user's in.
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    const qint64 v = qRound64(tick);
    return v == 0 ? QString() : locale.toString(v);
}

namespace {

// Bottom axis labels in the "#,##" pattern: thousands grouped, no decimals, zero left blank.
class MeasurementNoTicker : public QCPAxisTicker
{
protected:
    QString getTickLabel(double tick, const QLocale &, QChar, int) override
    {
        return TChartControl::measurementNoLabel(tick, QLocale());
    }
    double getTickStep(const QCPRange &range) override
    {
        // Whole measurement numbers only.
        return qMax(1.0, QCPAxisTicker::getTickStep(range));
    }
};

// Value axis: four minor ticks between labels.
class ValueTicker : public QCPAxisTicker
{
protected:
    int getSubTickCount(double) override { return 4; }
};

} // namespace

TChartControl::TChartControl(QCustomPlot *chart, int pageSize) : Chart(chart)
{
    m_graph = Chart->graphCount() > 0 ? Chart->graph(0) : Chart->addGraph();
    SetPageSize(pageSize);
    setWindow(1, pageSize);
    m_pageCount = 1;
    m_page = 1;
    m_graph->data()->clear();
    m_graph->addData(0.0, 0.0); // the origin point
    m_values = 0;
    m_graph->setVisible(true);
    queueReplot();
}

void TChartControl::recountPages()
{
    m_pageCount = m_values == 0 ? 1 : int((m_values + m_pageSize - 1) / m_pageSize);
}

void TChartControl::setWindow(qint64 min, qint64 max)
{
    m_windowMin = min;
    m_windowMax = max;
    // A page of one measurement still needs a visible width.
    const double pad = (max == min) ? 0.5 : 0.0;
    Chart->xAxis->setRange(double(min) - pad, double(max) + pad);
}

void TChartControl::moveWindow(qint64 pages)
{
    setWindow(m_windowMin + pages * m_pageSize, m_windowMax + pages * m_pageSize);
}

void TChartControl::queueReplot()
{
    Chart->replot(QCustomPlot::rpQueuedReplot);
}

int TChartControl::AddValue(double y)
{
    const qint64 x = m_values + 1; // the number of points held before it, origin included
    m_graph->addData(double(x), y);
    m_values = x;
    recountPages();
    if (!m_browsing) {
        if (x > m_windowMax)
            moveWindow(1);
        m_page = m_pageCount;
    }
    queueReplot();
    return m_page;
}

int TChartControl::AddValues(const std::vector<double> &ys)
{
    if (ys.empty())
        return m_page;
    QVector<double> keys(qsizetype(ys.size())), values(qsizetype(ys.size()));
    for (size_t i = 0; i < ys.size(); ++i) {
        keys[qsizetype(i)] = double(m_values + 1 + qint64(i));
        values[qsizetype(i)] = ys[i];
    }
    m_graph->addData(keys, values, true);
    m_values += qint64(ys.size());
    recountPages();
    if (!m_browsing) {
        // One value at a time moves a page whenever the newest passes the window's end.
        if (m_values > m_windowMax)
            moveWindow((m_values - m_windowMax + m_pageSize - 1) / m_pageSize);
        m_page = m_pageCount;
    }
    queueReplot();
    return m_page;
}

int TChartControl::FirstPage()
{
    if (m_pageCount > 1 && m_page != 1) {
        moveWindow(-(m_page - 1));
        m_page = 1;
        m_browsing = true;
        queueReplot();
    }
    return m_page;
}

int TChartControl::LastPage()
{
    if (m_pageCount > 1 && m_page != m_pageCount) {
        moveWindow(m_pageCount - m_page);
        m_page = m_pageCount;
        m_browsing = false;
        queueReplot();
    }
    return m_page;
}

int TChartControl::NextPage()
{
    if (m_pageCount > 1 && m_page != m_pageCount) {
        moveWindow(1);
        ++m_page;
        m_browsing = (m_page != m_pageCount);
        queueReplot();
    }
    return m_page;
}

int TChartControl::PriorPage()
{
    if (m_page > 1) {
        moveWindow(-1);
        --m_page;
        m_browsing = true;
        queueReplot();
    }
    return m_page;
}

void TChartControl::SetPageSize(int n)
{
    if (n == m_pageSize || n < 1)
        return;
    m_pageSize = n;
    setWindow(1, n);
    recountPages();
    moveWindow(m_pageCount - 1);
    m_page = m_pageCount;
    m_browsing = false;
    queueReplot();
}

void TChartControl::SetMaxY(double y)
{
    if (y == m_maxY)
        return;
    m_maxY = y;
    Chart->yAxis->setRangeUpper(y);
    queueReplot();
}

void TChartControl::SetMinY(double y)
{
    if (y == m_minY)
        return;
    m_minY = y;
    Chart->yAxis->setRangeLower(y);
    queueReplot();
}

int TChartControl::Clear()
{
    FirstPage();
    m_graph->data()->clear();
    m_graph->addData(0.0, 0.0);
    m_values = 0;
    m_pageCount = 1;
    m_browsing = false;
    queueReplot();
    return m_page;
}

void TChartControl::ConfigureChart(QCustomPlot *chart)
{
    chart->setObjectName(QStringLiteral("Chtshow"));
    chart->setInteractions(QCP::Interactions());
    chart->setNoAntialiasingOnDrag(true);
    chart->setPlottingHints(QCP::phCacheLabels | QCP::phFastPolylines);
    chart->legend->setVisible(false);

    QLinearGradient background(0, 0, 0, 1);
    background.setCoordinateMode(QGradient::ObjectMode);
    background.setColorAt(0.0, QColor(200, 220, 240));
    background.setColorAt(1.0, Qt::white);
    chart->setBackground(QBrush(background));
    chart->axisRect()->setBackground(Qt::white); // the back wall

    // A blank title, kept for the space it takes like the designed chart.
    chart->plotLayout()->insertRow(0);
    auto *title = new QCPTextElement(chart, QStringLiteral("  "), Fonts::arial(13));
    title->setTextColor(Qt::blue);
    chart->plotLayout()->addElement(0, 0, title);

    QCPAxis *x = chart->xAxis;
    x->setTicker(QSharedPointer<QCPAxisTicker>(new MeasurementNoTicker));
    x->setLabel(QStringLiteral("Measurement No."));
    x->setLabelFont(Fonts::arial(11));
    x->setLabelColor(Qt::blue);
    x->setTickLabelFont(Fonts::arial(11));

    QCPAxis *y = chart->yAxis;
    y->setLabel(QStringLiteral("Temp."));
    y->setLabelFont(Fonts::arial(11));
    y->setLabelColor(Qt::blue);
    y->setTickLabelFont(Fonts::arial(11));
    QPen axisPen(QColor(0, 64, 128));
    axisPen.setWidth(1);
    axisPen.setStyle(Qt::DashLine);
    y->setBasePen(axisPen);
    y->setTicker(QSharedPointer<QCPAxisTicker>(new ValueTicker));
    y->ticker()->setTickCount(6);
    y->setSubTicks(true);
    y->setTickLength(0, 3);
    y->setSubTickLength(0, 3);
    y->setRange(0, 0.0001);

    QCPGraph *g = chart->graphCount() > 0 ? chart->graph(0) : chart->addGraph();
    g->setPen(QPen(Qt::blue, 1));
    g->setLineStyle(QCPGraph::lsLine);
    g->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
    g->setAdaptiveSampling(true);

    // Margins in per cent of the chart: left 0, right 5, top 2, bottom 1.
    const QSize s = chart->size();
    chart->plotLayout()->setMargins(
        QMargins(0, s.height() * 2 / 100, s.width() * 5 / 100, s.height() / 100));
}
