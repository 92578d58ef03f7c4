#pragma once
// The audit trail of a session: every change to what the recording holds or how it is taken,
// each with its time, login, host, what happened and the value before and after. An entry is
// made the moment it happens and goes at once:
// - into the recording's seal, between the rows where it happened (a running SHA-256 over the
//   rows and the entries; the table emptied begins a new recording and a new seal);
// - into the recovery journal (a restore brings the entries back and goes on with the same
//   seal), with the seal itself at most a second behind;
// - into audit-log.txt in the state folder (every session's, appended and synced one entry at
//   a time, so a crash loses none);
// - to whoever follows (the data file's trail, the window's list).
// What the session itself says (connected, disconnected, cable lost, a download, the table
// emptied, the wall clock set) is recorded here; a face records what only it knows (settings
// changed in its controls, files saved, loaded or restored, reports written).

#include "proof/Seal.h"

#include <QHash>
#include <QObject>
#include <QTimer>
#include <optional>
#include <vector>

class LoggerSession;
class Notes;
namespace DataFiles {
struct Mark;
}

class AuditTrail : public QObject
{
    Q_OBJECT
public:
    // logPath: the file every entry is appended to; empty: none.
    AuditTrail(LoggerSession &session, const QString &logPath, QObject *parent = nullptr);
    ~AuditTrail() override;

    static QString defaultLogPath();

    void record(const QString &what, const QString &oldValue = {}, const QString &newValue = {});
    // The session begins: the program's version (the cable is named when it connects).
    void begin(const QString &version);
    // The session ends: its last entry, and the seal of what it holds (the face calls it while
    // the session is still there).
    void end();
    // Notes made, changed and removed are recorded, a removed note's text kept.
    void followNotes(const Notes &notes);

    // The recording's entries (since its table was last emptied), each placed by its rows.
    const std::vector<AuditEntry> &entries() const { return m_entries; }
    // Every entry of this session, in order.
    const std::vector<AuditEntry> &all() const { return m_all; }
    const Seal &seal() const { return m_seal; }
    // Every entry of the session as a list to save: a header line, one tab-separated line per
    // entry, and the recording's seal.
    QByteArray listText() const;
    // Rows first.. of the table came back from a journal whose marks are given: its entries
    // go back between them, and the seal is made again over the whole recording. The
    // journal's entries, as placed.
    std::vector<AuditEntry> restored(qint64 first, const std::vector<DataFiles::Mark> &marks);

    // The journal's mark of an entry, and of a seal.
    static QByteArray journalLine(const AuditEntry &entry);

signals:
    void recorded(const AuditEntry &entry);
    // The seal moved on (at most once a second): HASH@ROWS.
    void sealed(const QString &seal);
    void logFailed(const QString &path, const QString &reason);

private:
    void rowsInserted(qint64 first, qint64 last);
    void emptied();
    void append(const AuditEntry &entry);
    void writeLog(const AuditEntry &entry);
    void tick();

    LoggerSession &m_session;
    QString m_logPath;
    int m_logFd = -1;
    bool m_logFailed = false;
    std::vector<AuditEntry> m_entries, m_all;
    Seal m_seal;
    qint64 m_sealedRows = 0; // rows in the seal (the table's rows, once caught up)
    QString m_lastSealed;
    qint64 m_emptiedRows = 0; // what the table held before it was emptied
    QString m_emptiedSeal;
    QTimer m_timer;
    bool m_ended = false;
    QHash<qint64, QString> m_noteTexts; // the notes' texts, for what an edit or removal changed
    QHash<qint64, std::optional<QString>> m_notePrevious; // before the change being reported
};
