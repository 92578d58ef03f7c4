#pragma once
// Tools -> Loggers...: every logger that publishes to a broker, watched from this desk. The
// broker's URL, user and TLS files are those of publishing (when the window publishes) or
// typed in; the topic filter says which loggers. Each logger is a line: its id, its cable,
// its last reading with its unit and age, its alarms, online or not, its outbox's depth, and
// what is wrong with it, if anything, in words (blind: no reading for three of its intervals,
// the cable not connected, offline; in alarm) on a line that also stands out in bold and in
// colour. Its alarms' starts and ends are desktop notifications. A double-click opens the time
// chart of what arrives from it. It only reads.

#include "mqtt/LoggerWatch.h"
#include "recording/MeasurementTable.h"

#include <QColor>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <map>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class TimeChart;
class Timeline;

class LoggersWindow : public QWidget
{
    Q_OBJECT
public:
    LoggersWindow(const std::optional<Mqtt::Options> &publishing, QWidget *parent);
    ~LoggersWindow() override;

    LoggerWatch &watch() { return m_watch; }
    QTableWidget *list() const { return m_list; }
    // Connects with what the fields say; false (said in the window) when they do not read.
    bool connectToBroker();
    void setBroker(const QString &url, const QString &filter);
    // The time chart of the logger at index (opened, or raised when it is open).
    TimeChart *openChart(int index);
    // What the line of the logger at index says of its state ("OK", "disconnected" when its
    // user let the cable go, or what is wrong).
    QString stateText(int index) const;
    // The colours of a line that stands out (what is wrong), the same in every palette.
    static constexpr QRgb StandOutBackground = 0xffffd6d6, StandOutText = 0xff000000;

signals:
    // A desktop notification was given (also when no notification service runs).
    void notified(const QString &summary, const QString &body);

private:
    void refresh();
    void showLine(int index);

    LoggerWatch m_watch;
    Mqtt::Options m_options;
    QLineEdit *m_url, *m_user, *m_password, *m_filter;
    QPushButton *m_connect;
    QLabel *m_status, *m_limits;
    QTimer m_showDirty;
    QSet<int> m_dirty;
    static constexpr size_t MaxNotifications = 10; // a minute
    std::deque<qint64> m_notifiedAt;
    quint64 m_notNotified = 0;
    QTableWidget *m_list;
    QTimer m_ages; // the ages go on between messages
    struct Chart
    {
        // Its own copy of the readings, each put in as it arrived: a live logger's readings,
        // not rows of a file.
        std::unique_ptr<MeasurementTable> Rows;
        std::unique_ptr<Timeline> Line;
        QPointer<TimeChart> Window;
    };
    std::map<int, Chart> m_charts;
    // The watch's reading row of the logger at index, into its chart.
    void chartRow(Chart &chart, int index, const LoggerWatch::Reading &reading);
};
