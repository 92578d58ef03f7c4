#pragma once
// Paging and axes of the trend chart. One graph holds every point since the last clear;
// paging only moves the bottom axis range, so a page move costs the same at any length.

#include <QLocale>
#include <QtGlobal>
#include <vector>

class QCustomPlot;
class QCPGraph;

class TChartControl
{
public:
    // Create: takes the chart (not owned) and the page size.
    TChartControl(QCustomPlot *chart, int pageSize);

    int AddValue(double y);
    // The same as AddValue for each value in turn, at once (a restored journal's millions).
    int AddValues(const std::vector<double> &ys);
    int FirstPage();
    int PriorPage();
    int NextPage();
    int LastPage();
    void SetMaxY(double y);
    void SetMinY(double y);
    void SetPageSize(int n);
    int Clear();

    QCustomPlot *Chart;
    // The paging state follows from the window and the values; only the operations above
    // change it.
    int Page() const { return m_page; }
    int PageSize() const { return m_pageSize; }
    int PageCount() const { return m_pageCount; }
    bool Browsing() const { return m_browsing; }
    double MaxY() const { return m_maxY; }
    double MinY() const { return m_minY; }

    // The window shown: measurements WindowMin..WindowMax.
    qint64 WindowMin() const { return m_windowMin; }
    qint64 WindowMax() const { return m_windowMax; }
    // Values added since the last clear (the origin point not counted).
    qint64 ValueCount() const { return m_values; }
    QCPGraph *Graph() const { return m_graph; }

    // A bottom-axis label in the "#,##" pattern: the locale's thousands separator, no
    // decimals, zero left blank.
    static QString measurementNoLabel(double tick, QLocale locale);

    // Applies the fixed look of the trend chart.
    static void ConfigureChart(QCustomPlot *chart);

private:
    void recountPages();
    void moveWindow(qint64 pages);
    void setWindow(qint64 min, qint64 max);
    void queueReplot();

    int m_page = 1;
    int m_pageSize = 0;
    int m_pageCount = 1;
    bool m_browsing = false;
    double m_maxY = 0.0;
    double m_minY = 0.0;
    QCPGraph *m_graph = nullptr;
    qint64 m_values = 0;
    qint64 m_windowMin = 1;
    qint64 m_windowMax = 1;
};
