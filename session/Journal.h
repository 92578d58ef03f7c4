#pragma once
// The recovery journal: every row appended to the measurement table is also appended to a file
// in the user's state folder ($XDG_STATE_HOME/tx9-logger, ~/.local/state/tx9-logger by
// default), in the program's own tab-separated text format, so a crash or a power cut loses at
// most the last second of readings and a person can open the file with anything.
//
// - Rows are buffered and written with fdatasync at most once a second, and whenever the
//   journal starts anew (the table was emptied).
// - Each running instance owns one slot (journal.txt, journal-2.txt, ...) through a lock file
//   that a crashed process no longer holds; no instance touches another's journal.
// - A journal that a previous process left with rows is an orphan: nothing is written until
//   the program has decided to restore it (restoreOrphan) or to set it aside (setOrphanAside).
// - A normal exit keeps the journal as last-session.txt.
// - A write error (disk full) is reported once through writeFailed; the table is unaffected.

#include "recording/MeasurementTable.h"
#include "session/RowFile.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class Journal : public QObject
{
    Q_OBJECT
public:
    static QString defaultFolder();
    static constexpr int MaxSlots = 16;

    explicit Journal(const QString &folder = defaultFolder(), QObject *parent = nullptr);
    ~Journal() override; // flushes; the file stays for recovery

    // Starts the journal (unless an orphan waits for a decision) with the table's rows, and
    // follows its appends and resets from then on.
    void attach(MeasurementTable *table);

    bool owner() const { return m_lockFd >= 0; }
    QString folder() const { return m_folder; }
    QString path() const { return m_path; }

    // Complete rows a previous process left in this slot's journal (a torn last line is not
    // counted); 0 when there is nothing to decide.
    qint64 orphanRows() const { return m_orphanRows; }
    // The orphan's rows, read into table (appended).
    bool readOrphan(MeasurementTable &into) const;
    // The orphan's rows are in the table now: the journal starts again from the table's rows.
    void restoreOrphan();
    // Moves the orphan aside as unsaved-<yyyy-mm-dd-hhmmss>.txt and starts anew. Returns the
    // new name.
    QString setOrphanAside();

    // Writes what is buffered and syncs it to the disk.
    void flush();
    // The user closed the program: the journal is kept as last-session.txt.
    void closeNormally();

signals:
    void writeFailed(const QString &message);

private:
    void rowsAppended(qint64 first, qint64 last);
    void startFrom(const MeasurementTable *table);
    void fail(int error);

    QString m_folder;
    QString m_path;
    int m_lockFd = -1; // flock'ed: this instance's slot
    QPointer<MeasurementTable> m_table;
    RowFile m_file{true};
    qint64 m_orphanRows = 0;
    bool m_orphanPending = false;
    bool m_failureReported = false;
};
