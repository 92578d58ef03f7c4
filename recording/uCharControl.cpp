#include "recording/uCharControl.h"

#include "decode/Fonts.h"
#include <QLocale>
#include <qcustomplot.h>

namespace {

// Bottom axis labels in the "#,##" pattern: thousands grouped, no decimals, zero left blank.
class MeasurementNoTicker : public QCPAxisTicker
{
protected:
    QString getTickLabel(double tick, const QLocale &locale, QChar, int) override
    {
        const qint64 v = qRound64(tick);
        if (v == 0)
            return QString();
        return locale.toString(v);
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
    PageCount = 1;
    Page = 1;
    m_graph->data()->clear();
    m_graph->addData(0.0, 0.0); // the origin point
    m_values = 0;
    m_graph->setVisible(true);
    queueReplot();
}

void TChartControl::recountPages()
{
    PageCount = m_values == 0 ? 1 : int((m_values + PageSize - 1) / PageSize);
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
    setWindow(m_windowMin + pages * PageSize, m_windowMax + pages * PageSize);
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
    if (!Browsing) {
        if (x > m_windowMax)
            moveWindow(1);
        Page = PageCount;
    }
    queueReplot();
    return Page;
}

int TChartControl::FirstPage()
{
    if (PageCount > 1 && Page != 1) {
        moveWindow(-(Page - 1));
        Page = 1;
        Browsing = true;
        queueReplot();
    }
    return Page;
}

int TChartControl::LastPage()
{
    if (PageCount > 1 && Page != PageCount) {
        moveWindow(PageCount - Page);
        Page = PageCount;
        Browsing = false;
        queueReplot();
    }
    return Page;
}

int TChartControl::NextPage()
{
    if (PageCount > 1 && Page != PageCount) {
        moveWindow(1);
        ++Page;
        Browsing = (Page != PageCount);
        queueReplot();
    }
    return Page;
}

int TChartControl::PriorPage()
{
    if (Page > 1) {
        moveWindow(-1);
        --Page;
        Browsing = true;
        queueReplot();
    }
    return Page;
}

void TChartControl::SetPageSize(int n)
{
    if (n == PageSize || n < 1)
        return;
    PageSize = n;
    setWindow(1, n);
    recountPages();
    moveWindow(PageCount - 1);
    Page = PageCount;
    Browsing = false;
    queueReplot();
}

void TChartControl::SetMaxY(double y)
{
    if (y == MaxY)
        return;
    MaxY = y;
    Chart->yAxis->setRangeUpper(y);
    queueReplot();
}

void TChartControl::SetMinY(double y)
{
    if (y == MinY)
        return;
    MinY = y;
    Chart->yAxis->setRangeLower(y);
    queueReplot();
}

int TChartControl::Clear()
{
    FirstPage();
    m_graph->data()->clear();
    m_graph->addData(0.0, 0.0);
    m_values = 0;
    PageCount = 1;
    Browsing = false;
    queueReplot();
    return Page;
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
