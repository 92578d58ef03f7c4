#pragma once
// The time chart: a window of its own that shows a whole recording against clock time and
// follows it live. Wheel zoom at the cursor, drag to pan, Shift and drag a box to zoom; keys
// + and -, the arrows, Home and End, 0 for the whole recording; "Follow" keeps the newest
// reading in view. Below the chart: the reading nearest the cursor, the minimum, maximum and
// mean (and, given the statistics, the mean kinetic temperature) of what is in view, and what
// the main window does not say (the record limit reached, the cable recorded, dates that are
// assumed).

#include <QPointer>
#include <QWidget>
#include <optional>

class AlarmMonitor;
class TableStatistics;
class ClockTicker;
class LoggerSession;
class QCheckBox;
class QCPItemStraightLine;
class QCPItemTracer;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTimer;
class Timeline;
class TimelinePlottable;
struct QCPRange;

class TimeChart : public QWidget
{
    Q_OBJECT
public:
    explicit TimeChart(const Timeline &timeline, QWidget *parent = nullptr);
    ~TimeChart() override;

    // What the status line says of a session (limit, cable); the alarms' limits and spans.
    void setSession(LoggerSession *session);
    void setAlarms(AlarmMonitor *alarms);
    // The statistics of the table the timeline follows: the mean kinetic temperature of what
    // is in view comes from their sums.
    void setStatistics(const TableStatistics *stats);
    // The mean kinetic temperature (°C) of the rows in the view; none without statistics or
    // readings with a number.
    std::optional<double> viewMkt() const;
    // Without notes: a chart of readings that are not this program's to annotate (another
    // logger's, watched from here) shows no notes and takes none.
    void setNotesShown(bool shown);

    // The view, in seconds since the epoch.
    QCPRange view() const;
    void setView(double fromSeconds, double toSeconds); // follow and "All" end
    void showLast(double seconds);                      // the newest reading at the right edge
    void showAll();
    void setFollow(bool follow);
    bool following() const;
    // Zoom by factor (below 1: in) about the time at, or the middle.
    void zoom(double factor);
    void zoomAt(double factor, double atSeconds);
    void pan(double fraction); // of the view's width; positive: later

    QString cursorText() const;
    // The row the readout reads (the reading nearest the cursor), -1 while the cursor is not
    // over the chart; the mark on it shows which point that is.
    qint64 readoutRow() const;
    // The title line of a saved picture: the cable, the span in view, the time zone.
    QString pictureTitle() const;
    QString viewText() const;
    QString statusText() const;
    // The reading nearest to the time at (seconds), as the readout says it.
    QString readingAt(double atSeconds) const;
    QString readingText(qint64 row) const;
    // What a hover over the time at shows: the gap there, or nothing.
    QString gapAt(double atSeconds) const;

    // The view as a picture: PNG or PDF by the path's extension, through the checked write.
    bool savePicture(const QString &path, QString *reason);
    QByteArray picture(bool pdf, const QSize &size);
    QCustomPlot *plot() const { return m_plot; }
    // Draws now what is due (tests and the benchmark).
    void replotNow();

    // Where a note made at the time at (seconds) goes: the reading there (its row, when one is
    // within a few pixels) or the moment.
    std::pair<qint64, qint64> noteTarget(double atSeconds) const; // time (ms), row or -1

signals:
    void savePictureRequested();
    // A note is asked for at the time at (N, or a double-click), or to be edited or removed.
    void noteRequested(double atSeconds);
    void noteEditRequested(qint64 id);
    void noteRemoveRequested(qint64 id);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void changed();
    void fitValues();
    void updateTexts();
    void updateAlarms();
    void mouseMoved(QMouseEvent *event);
    bool eventFilter(QObject *watched, QEvent *event) override;
    void followCursor(); // the readout and its mark, for what is under the cursor now
    void userMoved();    // a pan or box: follow and "All" end

    const Timeline &m_timeline;
    LoggerSession *m_session = nullptr;
    AlarmMonitor *m_alarms = nullptr;
    QCustomPlot *m_plot;
    TimelinePlottable *m_line;
    QCPItemStraightLine *m_high, *m_low;
    QCPItemTracer *m_mark; // the point the readout reads
    QPushButton *m_follow, *m_save;
    QCheckBox *m_fixed;
    QDoubleSpinBox *m_min, *m_max;
    QLabel *m_cursor, *m_inView, *m_status;
    QListWidget *m_notes;
    QList<QWidget *> m_noteWidgets; // the list, its line and its buttons
    bool m_notesShown = true;
    QPointer<const TableStatistics> m_stats;
    // The view whose mean kinetic temperature was worked out last, and what it was; reset
    // whenever the statistics change.
    mutable std::optional<std::pair<double, double>> m_mktView;
    mutable std::optional<double> m_mkt;
    void listNotes();
    QTimer *m_replot;
    bool m_all = true; // the whole recording stays in view as it grows
    bool m_limitReached = false;
    QString m_cable;
    QString m_lastCable;    // the cable recorded last, for a picture's title
    double m_cursorAt = -1; // seconds; -1: not over the chart
    double m_cursorX = -1;  // where it is (pixels): the data moves under a still cursor
};
