#pragma once
// The windows of the Tools menu, beside the main window and never holding it: the alarms
// (limits, the state now, this session's log) and the statistics (the whole table and the
// chart's page), both following the recording live.

#include "alarms/AlarmRules.h"
#include "timeline/DailyFigures.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <vector>

class AlarmMonitor;
class TimeChart;
struct FileDialogRequest;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QTableWidget;
class QTimer;
class TableStatistics;

// Where the alarm and export settings live between runs (the only settings kept).
namespace ToolSettings {
AlarmSettings alarms();
void setAlarms(const AlarmSettings &settings);
QString exportFolder();
void setExportFolder(const QString &folder);
// A save dialog's request for a file the Tools write (an export, a log): named name in the
// folder of the last one, asking before it replaces a file.
FileDialogRequest exportRequest(const QString &title, const QString &filter, const QString &ext,
                                const QString &name);
} // namespace ToolSettings

// Asks where the chart's picture goes (PNG or PDF) and saves it there, saying what failed; the
// chart may be gone by the time the question is answered.
void saveChartPicture(QPointer<TimeChart> chart);

class AlarmsWindow : public QWidget
{
    Q_OBJECT
public:
    AlarmsWindow(AlarmMonitor &monitor, QWidget *parent);

    // The state line as it reads now ("No alarm", "HIGH ALARM since ...").
    QString stateText() const;
    void refresh();

signals:
    void settingsChosen(const AlarmSettings &settings);
    void saveLogRequested();

private:
    void apply();

    AlarmMonitor &m_monitor;
    QCheckBox *m_highOn, *m_lowOn;
    QDoubleSpinBox *m_high, *m_low, *m_hold, *m_hysteresis;
    QComboBox *m_unit;
    QString m_shownUnit; // the unit the values shown are in
    QLabel *m_problem;
    QLabel *m_state;
    QTableWidget *m_log;
};

class StatisticsWindow : public QWidget
{
    Q_OBJECT
public:
    // page: the rows the chart shows now, as runs (first, last).
    StatisticsWindow(TableStatistics &stats,
                     std::function<std::vector<std::pair<qint64, qint64>>()> page,
                     std::function<QString()> unit, QWidget *parent);
    void refresh();
    // The text of a cell: row (0..) and column (0 whole, 1 page).
    QString cell(int row, int column) const;
    // The recording day by day, in a tab of its own (given by whoever knows the days).
    void setDays(std::function<std::vector<DayFigures>()> days);
    QTableWidget *dayTable() const { return m_days; }

private:
    TableStatistics &m_stats;
    std::function<std::vector<std::pair<qint64, qint64>>()> m_page;
    std::function<QString()> m_unit;
    QTableWidget *m_grid;
    QDoubleSpinBox *m_activation;
    QTableWidget *m_days;
    std::function<std::vector<DayFigures>()> m_dayFigures;
    QTimer *m_timer;
};
