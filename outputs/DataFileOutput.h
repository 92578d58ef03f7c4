#pragma once
// The data file a run writes as it goes: text or CSV, a row at a time as each is stored (a
// reader following the file sees them come), or an XML data packet written whole when the
// run ends. A file that already holds something is refused unless the run is to replace it
// or go on after its last row; a file another run writes is always refused (each run holds
// an exclusive lock on its file).
//
// The file is signed (FILE.sig) and sealed with its audit trail (FILE.trail, signed too) at
// each write-out, at most a second behind, and at its end; a packet when it is written. A
// file to go on with is checked first: one changed since it was signed is refused.

#include <QObject>
#include <QString>
#include <memory>
#include <vector>

class AuditTrail;
class GrowingSeal;
class LoggerSession;
class RowFile;
class SigningKey;

// What a run does with a data file that already holds something.
enum class Existing
{
    Refuse,    // nothing recorded is written over unasked
    Overwrite, // replaced
    Append,    // text and CSV with this run's header go on after their last row
};

// Where a run may go on in an existing text or CSV file of size bytes open as fd: after its
// last whole line, numbering after its last row with a number, wherever in the file those
// are (a torn tail of any length is cut off). header: what this run would write.
struct AppendPoint
{
    bool Ok = false;
    QString Why;          // when not
    qint64 WholeEnd = 0;  // where its whole lines end
    qint64 TornBytes = 0; // after the last whole line (cut off)
    qint64 LastNo = 0;    // the last row's No; 0 without rows
};
AppendPoint appendPoint(int fd, qint64 size, const QByteArray &header, bool csv);

struct DataFileOptions
{
    QString Path;
    bool Csv = false; // CSV whatever the name; else the name's extension decides
    Existing IfExists = Existing::Refuse;
};

class DataFileOutput : public QObject
{
    Q_OBJECT
public:
    DataFileOutput(LoggerSession &session, const DataFileOptions &options,
                   QObject *parent = nullptr);
    ~DataFileOutput() override; // an unwritten packet's empty placeholder goes

    enum class Opened
    {
        Ok,
        Refused, // the file is not to be written (exists, locked, not writable): why says so
        Failed,  // writing it failed (a full disk): why holds the reason
    };
    // Creates, resumes or locks the file. On appending, the session's rows go on numbering
    // after the file's last one. why: a whole sentence when refused, the reason when failed.
    Opened open(QString *why);
    // Completes the file: written out and synced, or the packet written whole.
    struct Closed
    {
        qint64 Rows = 0; // in the file
        bool Failed = false;
        QString Unsaid; // the reason of a failure not said through failed
    };
    Closed close();
    bool isPacket() const { return m_packet; }
    const QString &path() const { return m_options.Path; }
    // The trail's entries go into the file's trail from now on (those made so far too).
    void follow(AuditTrail &trail);

signals:
    // The file was signed and sealed: its seal (HASH@ROWS).
    void sealed(const QString &seal);
    // A line to say (problem: a warning).
    void said(const QString &line, bool problem);
    // A row could not be written: the reason.
    void failed(const QString &reason);
    // Each time writing starts to fail (with the reason) and works again after it failed.
    void writableChanged(bool writable, const QString &reason);
    // Each time signing (the trail, the signatures) starts to fail, and works again.
    void signableChanged(bool signable, const QString &reason);

private:
    Opened refuse(QString *why, const QString &text);
    Opened appendTo(const QByteArray &header, QString *why);
    void releaseLock(bool written);
    // The key to sign with; none (said once) when there is none.
    const SigningKey *signingKey();
    void wroteOut(const QByteArray &bytes, qint64 rows);
    void signNow();
    void sayUnsigned(const QString &why);

    LoggerSession &m_session;
    DataFileOptions m_options;
    bool m_packet = false;
    RowFile *m_file = nullptr;
    int m_lock = -1;           // an .xml output's lock, held until the packet is written
    bool m_createdXml = false; // the .xml output did not exist before the run
    bool m_closed = false;
    std::unique_ptr<GrowingSeal> m_seal;
    AuditTrail *m_trail = nullptr;
    qint64 m_nextRow = -1; // the table's row whose line comes next in the file
    bool m_unsignedSaid = false;
    bool m_signFailing = false; // said once until it mends
    // What opening the file found, for the trail once it is followed.
    struct OpenEntry
    {
        QString What, Old, New;
    };
    std::vector<OpenEntry> m_openEntries;
};
