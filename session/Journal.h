#pragma once
// The recovery journal: every row appended to the measurement table is also appended to a file
// in the user's state folder ($XDG_STATE_HOME/tx9-logger, ~/.local/state/tx9-logger by
// default), in the program's own tab-separated text format, so a crash or a power cut loses at
// most the last second of readings and a person can open the file with anything.
//
// - Rows are buffered and written with fdatasync at most once a second, and whenever the
//   journal starts anew (the table was emptied).
// - Each running instance owns one slot (journal.txt, journal-2.txt, ...) through a lock file
//   that a crashed process no longer holds; no instance touches the journal of a live one.
// - A journal that an ended process left with rows is an orphan: its own slot's, and that of
//   every other slot no live process holds. Nothing is written until the program has decided
//   for each orphan in turn to restore it (restoreOrphan) or to set it aside (setOrphanAside).
// - A normal exit keeps the journal as last-session.txt.
// - A write error (disk full) is reported once through writeFailed; the table is unaffected.
// - A state folder that cannot be written leaves the instance without a journal; unavailable()
//   says why.

#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"
#include "session/RowFile.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <atomic>

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
    // Why this instance keeps no journal; empty when it keeps one.
    QString unavailable() const { return m_unavailable; }

    // The orphan that waits for a decision (the first of them); empty when none does.
    bool hasOrphan() const { return !m_orphans.isEmpty(); }
    QString orphanPath() const { return hasOrphan() ? m_orphans.first().path : QString(); }

    struct Contents
    {
        bool Journal = false;               // the file begins with the program's header
        qint64 Rows = 0;                    // whole lines that are rows
        qint64 Unreadable = 0;              // whole lines that are not
        std::vector<DataFiles::Mark> Marks; // connections made, ended or lost between rows
    };
    // Reads the journal at path into table: every row that parses, whatever follows a bad
    // line, without touching anything else (safe on any thread). A file that does not begin
    // with the header is not read at all.
    static Contents read(const QString &path, MeasurementTable &into,
                         std::atomic<qint64> *bytesDone = nullptr);
    // The rows of the orphan that waits (0 when none): those that parse.
    qint64 orphanRows() const;
    // The waiting orphan's rows, read into table (appended); true when every line was read.
    bool readOrphan(MeasurementTable &into) const;

    // The waiting orphan's rows are in the table now. keepOriginal: some of its lines could
    // not be read, so the file itself is kept aside; returns its new name then. tableIsOrphan:
    // the table holds the orphan's rows and nothing else, so this slot's journal goes on as
    // it is instead of being written anew (millions of rows would hold the program).
    QString restoreOrphan(bool keepOriginal = false, bool tableIsOrphan = false);
    // Moves the waiting orphan aside as unsaved-<yyyy-mm-dd-hhmmss>[-n].txt (never over an
    // earlier one). Returns the new name, or an empty text when it could not be moved.
    QString setOrphanAside();

    // A mark after the rows so far: the connection was made, ended or lost (word) at when.
    void mark(const QByteArray &word, const QDateTime &when, const QString &cable = {});
    // Any other mark's whole line (a note's), after the rows so far.
    void writeMark(const QByteArray &line);
    // The mark of a save of the table: its first rows rows went to path (and its notes beside
    // it, when notes), at when.
    static QByteArray savedLine(qint64 rows, bool notes, const QString &path,
                                const QDateTime &when);
    // What of a journal's contents was not saved: its rows after the last save, and the notes
    // made, changed or removed after the last save that took the notes along.
    struct Unsaved
    {
        qint64 Rows = 0;
        qint64 Notes = 0;
        QString SavedTo; // the last save's file; empty when never saved
    };
    static Unsaved unsaved(const Contents &contents);
    // Writes what is buffered and syncs it to the disk.
    void flush();
    // The user closed the program: the journal is kept as last-session.txt.
    void closeNormally();

signals:
    // path: the journal; reason: why it could not be written.
    void writeFailed(const QString &path, const QString &reason);
    // Each time writing starts to fail (with why) and works again after it failed.
    void writableChanged(bool writable, const QString &path, const QString &reason);

private:
    struct Orphan
    {
        QString path;
        int lockFd = -1; // another slot's lock, held while its orphan is decided on
    };
    void rowsAppended(qint64 first, qint64 last);
    void startFrom(const MeasurementTable *table);
    bool m_resume = false; // the next start goes on with the journal as it is
    void decided();
    QString moveAside(const QString &path);
    void fail(int error);

    QString m_folder;
    QString m_path;
    QString m_unavailable;
    int m_lockFd = -1; // flock'ed: this instance's slot
    QPointer<MeasurementTable> m_table;
    RowFile m_file{true};
    QList<Orphan> m_orphans;
    QList<Orphan> m_restoredElsewhere; // other slots' orphans whose rows are now ours
    bool m_failureReported = false;
};
