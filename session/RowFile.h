#pragma once
// A tab-separated data file that grows row by row: the header and any first rows written at
// once, then each appended row's line, written out at least once a second (and whenever a
// megabyte is waiting), so that a reader following the file sees the rows as they come and a
// crash leaves whole lines only. A failed write cuts the file back to its last whole line and
// is reported once through failed; what failed waits and goes out again with the next rows
// (the disk may have room by then), so the file never lacks its header or a line in between.
// Only a regular file (or a new name) is written.

#include "recording/MeasurementTable.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class RowFile : public QObject
{
    Q_OBJECT
public:
    // sync: every write-out also goes to the disk (fdatasync) before it counts as done.
    // mode: the permissions of a file created anew (before the umask).
    explicit RowFile(bool sync, QObject *parent = nullptr, int mode = 0600);
    ~RowFile() override; // writes out what waits

    // Starts path with bytes, which hold the header and rows rows. viaTemporary: the file is
    // first written beside path and put in its place once complete, so an old file is
    // replaced by a whole one or not at all. Returns false on failure (reported through
    // failed as well); a file that is not regular, or that another holder of the exclusive
    // lock writes, is refused and left as it is.
    bool create(const QString &path, const QByteArray &bytes, bool viaTemporary, qint64 rows = 0);
    // Goes on at the end of path as it is, which holds rows rows in whole lines (a torn last
    // line is cut off; wholeEnd, when the caller found it, is where the whole lines end).
    // False when it cannot be opened, or another holder of the exclusive lock writes it.
    bool resume(const QString &path, qint64 rows, qint64 wholeEnd = -1);
    // How rows become lines: the program's text, the same with each row's capture time (the
    // journal), or CSV.
    enum class Lines
    {
        Text,
        TextWithCapture,
        Csv
    };
    void setLines(Lines lines) { m_lines = lines; }
    // From the next create on, the file is held under an exclusive lock while it is written.
    void setExclusive(bool exclusive) { m_exclusive = exclusive; }
    // The lines of the table's rows first..last, written out within a second. Many rows at
    // once (a loaded file) are turned into lines a slice at a time, between other events;
    // the table must keep them until then (it only ever grows, or is emptied, which starts
    // the file anew).
    void appendRows(const MeasurementTable &table, qint64 first, qint64 last);
    // A line of its own after the rows appended so far (a mark between them).
    void appendLine(const QByteArray &line);
    // Everything appended so far, written out now.
    void flush();
    // Written out and synced to the disk; false (and reported) when either failed.
    bool flushToDisk();
    void close();
    bool isOpen() const { return m_fd >= 0; }
    // The error of the first failure, 0 while none; EINVAL for a file that is not regular,
    // EWOULDBLOCK for one that another run holds.
    int error() const { return m_error; }
    QString errorString() const;
    // Rows whose lines are in the file now.
    qint64 rowsWritten() const { return m_rowsWritten; }

signals:
    void failed(int error);
    // Each time writing starts to fail (error) and works again (0) after it failed: a full
    // disk that gets room again, and fills up again.
    void writableChanged(bool writable, int error);
    // bytes are now in the file, after those before them; they end the lines of rows rows.
    void wroteOut(const QByteArray &bytes, qint64 rows);

private:
    static constexpr qint64 SliceRows = 32768;
    void formatSlice(qint64 rows);
    void writeBuffered();
    bool writeOut(const QByteArray &bytes);
    void fail(int error);
    void setWritable(bool writable, int error);
    bool m_unwritable = false; // the last write-out failed
    bool refuse(int error, const QString &why);
    void startAnew(const QString &path); // closed, nothing waiting, no error

    bool m_sync;
    int m_mode;
    bool m_exclusive = false;
    Lines m_lines = Lines::Text;
    int m_fd = -1;
    QString m_path;
    QString m_refusal;     // why the file was refused, when it was
    qint64 m_goodSize = 0; // bytes of whole lines in the file
    QByteArray m_buffer;
    qint64 m_bufferRows = 0; // rows whose lines are in m_buffer
    qint64 m_rowsWritten = 0;
    QTimer m_timer;      // writes out what waits, a second after it began to wait
    QTimer m_sliceTimer; // turns the next slice of rows into lines
    QPointer<const MeasurementTable> m_table;
    qint64 m_next = 0, m_last = -1; // rows still to be turned into lines
    int m_error = 0;
};
