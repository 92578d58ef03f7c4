#pragma once
// Paging and axes of the trend chart. One graph holds every point since the last clear;
// paging only moves the bottom axis range, so a page move costs the same at any length.

#include <QtGlobal>

class QCustomPlot;
class QCPGraph;

class TChartControl
{
public:
    // Create: takes the chart (not owned) and the page size.
    TChartControl(QCustomPlot *chart, int pageSize);

    int AddValue(double y);
    int FirstPage();
    int PriorPage();
    int NextPage();
    int LastPage();
    void SetMaxY(double y);
    void SetMinY(double y);
    void SetPageSize(int n);
    int Clear();

    QCustomPlot *Chart;
    int Page = 1;
    int PageSize = 0;
    int PageCount = 1;
    bool Browsing = false;
    double MaxY = 0.0;
    double MinY = 0.0;

    // The window shown: measurements WindowMin..WindowMax.
    qint64 WindowMin() const { return m_windowMin; }
    qint64 WindowMax() const { return m_windowMax; }
    // Values added since the last clear (the origin point not counted).
    qint64 ValueCount() const { return m_values; }
    QCPGraph *Graph() const { return m_graph; }

    // Applies the fixed look of the trend chart.
    static void ConfigureChart(QCustomPlot *chart);

private:
    void recountPages();
    void moveWindow(qint64 pages);
    void setWindow(qint64 min, qint64 max);
    void queueReplot();

    QCPGraph *m_graph = nullptr;
    qint64 m_values = 0;
    qint64 m_windowMin = 1;
    qint64 m_windowMax = 1;
};
