#pragma once
// A recording in time: every row of a measurement table (live, downloaded, restored, loaded)
// at its capture time, in a TimeSeries, with the gaps in it and why they are there.
//
// - A row with a capture time is placed there; rows that carry only a time of day (a loaded
//   text or XML file) get dates from the file (FileDates), and are counted as assumed.
// - The line breaks where no reading arrived for longer than three sampling intervals (at
//   least 10 s): readings that arrived but were not stored (the repeat filter) keep it whole.
//   Without arrivals to go by (rows restored or loaded), the rows' own times are the measure,
//   against three times their usual spacing.
// - It breaks at every connect, disconnect, lost cable, restore and load, and where the wall
//   clock was set: back (a new run: nothing is joined backwards in time) or forward.
// - Downloaded rows (their times are when they were received) are a run of their own, tagged.

#include "output/DataFiles.h"
#include "timeline/Notes.h"
#include "timeline/TimeSeries.h"

#include <QDate>
#include <QObject>
#include <QString>
#include <optional>
#include <vector>

class LoggerSession;
class MeasurementTable;

class Timeline : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 MinGapMs = 10000;
    enum Tag : quint8
    {
        Recorded = 0,
        Downloaded = 1,
        FromFile = 2, // restored or loaded
    };
    enum class Why
    {
        Silence,      // no reading arrived for a while
        Connected,    // the connection was made again
        Disconnected, // ...after it was ended
        CableLost,
        Restored, // rows of an ended session brought back
        Loaded,   // rows of a file
        ClockSet, // the wall clock was set forward between two readings
    };
    struct Gap
    {
        qint64 FromMs = 0, ToMs = 0; // the rows either side
        qint64 Row = 0;              // the row after it
        Why Reason = Why::Silence;
        qint64 SilenceMs = 0; // no reading arrived for this long (steady clock); 0: unknown
    };
    static QString describe(Why why);
    // A moment as the chart and the report write it (local, to the second), and a span of
    // time for a person: "4 h 12 min", "12 s".
    static QString clockText(qint64 ms);
    static QString spanText(qint64 ms);
    // The local time zone of times from firstMs to lastMs: its name and its offset (both,
    // where summer time changes it between them): "Europe/Berlin (UTC+01:00)".
    static QString zoneText(qint64 firstMs, qint64 lastMs);

    explicit Timeline(QObject *parent = nullptr);

    // Follows table from its first row: its appends and its emptying.
    void follow(const MeasurementTable *table);
    // Follows the session's table, the readings it receives, connection events and settings.
    void follow(LoggerSession &session);

    // What the rules go by (the session's events, when following one).
    void setIntervalSeconds(int seconds); // 0: every reading is stored
    void readingArrived(qint64 steadyMs);
    void breakNext(Why why); // the next row begins a new line, for this reason
    void setDownloading(bool downloading);
    static std::optional<Why> whyOf(const QByteArray &markWord);

    // Rows of a file or of an ended session, with all they need to be placed: no call before
    // or after them matters.
    struct Batch
    {
        Why Reason = Why::Loaded; // Loaded or Restored: the line breaks before them
        // Rows without capture times (a text or XML file) are dated from this date (the
        // file's); none: today.
        QDate FileDate = {};
        // A kept journal's marks: its breaks (before their row Row, for the connection made,
        // ended or lost) and its notes.
        std::vector<DataFiles::Mark> Marks = {};
        // Notes read beside a file (Notes::readBeside): on the reading whose No matches near
        // their time, else at their moment; and a CSV export's notes, whose rows are known
        // (Row counted from the batch's first row).
        std::vector<Notes::Note> NotesBeside = {};
        std::vector<DataFiles::CsvNote> CsvNotes = {};
    };
    // Appends rows to table (the one followed) as one batch, placed as batch says.
    void appendBatch(MeasurementTable &table, MeasurementTable &&rows, Batch batch);

    const TimeSeries &series() const { return m_series; }
    Notes &notes() { return *m_notes; }
    const Notes &notes() const { return *m_notes; }
    // The spans without a reading. Rows far out of time order (files merged) make jumps
    // between rows that came one after the other which other rows fill: those are no gaps.
    const std::vector<Gap> &gaps() const;
    // The gap whose span holds timeMs; nullptr if none.
    const Gap *gapAt(double timeMs) const;
    qint64 assumedDates() const { return m_assumed; }
    // Rows from files whose Time text is no time of day (each takes a neighbour's), and note
    // marks of journals that could not be read (passed over).
    qint64 untimedRows() const { return m_untimed; }
    qint64 unreadNotes() const { return m_unreadNotes; }
    const MeasurementTable *table() const { return m_table; }
    qint64 gapThresholdMs() const;

signals:
    void changed(); // rows were added, or the table was emptied
    void cleared();

private:
    void placeNotes(const std::vector<Notes::Note> &read, qint64 fromRow);
    void placeNotes(const std::vector<DataFiles::CsvNote> &read, qint64 fromRow);
    void rowsInserted(qint64 first, qint64 last);
    void reset();
    float valueOf(qint64 row);
    void place(qint64 row, qint64 timeMs, bool batch, bool batchStart);

    const MeasurementTable *m_table = nullptr;
    LoggerSession *m_session = nullptr;
    TimeSeries m_series;
    Notes *m_notes;
    std::vector<Gap> m_gaps; // every jump found as the rows came
    // While the series has many runs, the gaps are those of the rows in time order (a jump
    // between rows that came one after the other may be filled by others): kept up as rows
    // come in time order, found anew after one that does not.
    mutable std::vector<Gap> m_orderGaps;
    mutable qint64 m_orderGapsTo = 0;            // the index of the time order looked at up to
    mutable qint64 m_orderGapsMin = 0;           // the spacing beyond which there is a gap
    mutable quint64 m_orderGapsAt = ~quint64(0); // the series' orderBreaks() then
    std::vector<float> m_valueOfText;            // by the value text's id; NaN until known
    std::vector<char> m_knownText;
    int m_interval = 1;
    bool m_downloading = false;
    bool m_lastDownloaded = false;
    bool m_pendingBreak = false;
    Why m_pendingWhy = Why::Silence;
    qint64 m_batchThreshold = 0;          // for the rows being added at once
    std::vector<DataFiles::Mark> m_marks; // for the next rows added at once
    size_t m_nextMark = 0;
    qint64 m_batchFirst = 0;
    QDate m_fileDate;
    bool m_inBatch = false; // rows being appended by appendBatch
    qint64 m_assumed = 0;
    qint64 m_untimed = 0;
    qint64 m_unreadNotes = 0;
    // Arrivals since the last row: the longest silence between two of them (steady clock).
    qint64 m_lastArrival = -1;
    qint64 m_silence = 0;
    bool m_arrivals = false;
};
