#pragma once
// The outbox of one logger id: every message for the broker is written here before it is
// published, and leaves only when the broker has acknowledged it. A broker away for a week, a
// program killed or a power cut lose nothing that reached the outbox; when the broker is back,
// the messages go out oldest first, in order (at least once: what was in flight may go twice).
//
// On disk, in the outbox's folder (the bytes: OutboxFormat.h):
// - segments 0000000001.seg, ...: a header that names the segment, then checked messages.
//   Only the newest is appended to; a new one begins once it passes the segment size.
//   Messages are written with write() at once (a killed program loses nothing) and synced at
//   most once a second (a power cut loses at most that second, as the journal does).
// - acked: up to which message the broker has everything, with a checksum, written a moment
//   after acks come. It may lag (the messages after it go again). One that cannot be trusted
//   (no checksum, or naming a message that is not there) is ignored: everything on disk goes
//   again, and that is said.
// - lock: held by the process that owns the outbox.
// Nothing is trusted that is not checked, and nothing is dropped silently: bytes that do not
// read as messages are copied aside as damaged-<n>.bin, the messages after them are found and
// go on, and each loss is said with its count, at open or while delivering. A file whose
// header names another segment (a stray copy) is set aside. Reading numbers are never given
// twice: new ones continue above any the outbox has held or given. A folder deleted or
// replaced while running is made again from the segments, which stay open until delivered.

#include "mqtt/OutboxFormat.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <map>
#include <set>
#include <utility>

class Outbox : public QObject
{
    Q_OBJECT
public:
    using Message = OutboxMessage;

    explicit Outbox(QObject *parent = nullptr);
    ~Outbox() override; // writes out and syncs what it can

    // Opens (or makes) the outbox in folder. False with errorString() when it cannot be used
    // (not writable, or another process owns it); takeWarnings() then lists what was found
    // damaged, set aside or not trusted.
    bool open(const QString &folder, qint64 segmentBytes = 8 << 20);
    bool isOpen() const { return m_lockFd >= 0; }
    QString folder() const { return m_folder; }
    QString errorString() const { return m_error; }
    QStringList takeWarnings();

    // The number the next reading gets: one more than any reading this outbox ever held.
    quint64 nextSeq() const { return m_nextSeq; }
    // Adds a message; a reading (seq > 0) must carry nextSeq(). Written to the file at once;
    // when that fails, it waits in memory (and is not offered for sending) until a later
    // write succeeds; writeFailed says so once.
    void append(const Message &message);

    // Messages not yet acknowledged (none that are known lost among them).
    quint64 pending() const;
    // Of those, the ones kept on disk, and the ones only in memory (a write that failed, or
    // a folder that could not be made again): those would be lost at the end.
    quint64 onDisk() const;
    quint64 notKept() const { return pending() - onDisk(); }
    // Why those are only in memory.
    QString whyNotKept() const;
    bool hasUnsent();
    // The next message to send, moved past; false when none is written yet.
    bool take(Message &out);
    // The broker has the message of that index.
    void acknowledge(quint64 index);
    // Everything taken but not acknowledged is offered again, from the oldest (a new
    // connection: what was in flight may be lost).
    void rewind();
    // Written out and synced now (the folder made again first if it went); false when that
    // failed.
    bool flush();

    // The order of the counters, which every step keeps (open, append, take, acknowledge,
    // rewind, damage met, a write failed): a message is acknowledged only once taken, taken
    // only once in the files, in the files only once appended; and no reading number is
    // acknowledged before it was given:
    //   acked index <= taken index <= last index in the files <= last index appended
    //   acked seq < next seq
    bool countersInOrder() const;

signals:
    void writeFailed(const QString &reason);
    // A write that had failed went through again.
    void writeRecovered();
    // Something the user must know found after open: damage met while delivering, the folder
    // gone and made again (or not).
    void trouble(const QString &text);

private:
    struct Segment
    {
        quint64 number = 0;
        quint64 firstIndex = 0;
        qint64 start = 0; // where its first message begins
        int fd = -1;      // kept open until delivered: a deleted folder loses nothing
        qint64 size = 0;  // once finished (the newest one's is m_writeSize)
    };
    struct Sent
    {
        quint64 first, last; // a run of lost messages, or one message
        quint64 seq;
        quint64 segment; // where the message after it begins
        qint64 end;
        bool acked;
    };
    QString segmentPath(quint64 number) const;
    QString asidePath(const char *kind) const;
    Segment *segment(quint64 number);
    qint64 segmentEnd(const Segment &s) const;
    bool loadSegments();
    void setAsideFile(const Segment &s, const QString &why);
    bool startSegment(quint64 firstIndex);
    bool scanActive();
    void loadAck();
    // A reading number found on disk: numbering goes on above it. One at or past SeqLimit is
    // no number this program gives (a damaged or forged file): it is said once and passed
    // over, so that numbering never runs into the top of the range and repeats one.
    void seqSeen(quint64 seq, const QString &where);
    static constexpr quint64 SeqLimit = quint64(1) << 63;
    void takeAckSeqs(const OutboxFormat::Ack &a); // the numbers of a trusted acknowledgement
    QString keepAside(qint64 from, const QByteArray &bytes);
    // Messages first..last cannot be read (bytes from..to of segment are not messages): said
    // once, counted as gone; reading goes on at to.
    void lose(quint64 first, quint64 last, quint64 segment, qint64 from, qint64 to);
    void say(const QString &text);
    bool writeWaiting();
    void storeAcked();
    void popAcknowledged();
    bool folderIntact() const;
    bool restoreFolder();
    void watchFolder();
    OutboxFormat::Record recordAt(const Segment &s, qint64 offset, Message &m, qint64 &next);

    QString m_folder;
    QString m_error;
    QStringList m_warnings;
    bool m_opened = false; // past open: what is found is said by trouble()
    qint64 m_segmentBytes = 8 << 20;
    int m_lockFd = -1;
    int m_ackFd = -1;
    int m_writeFd = -1;     // the newest segment's
    qint64 m_writeSize = 0; // its whole messages' bytes
    std::deque<Segment> m_segments;
    quint64 m_lastIndex = 0;     // of the last message appended
    quint64 m_fileLastIndex = 0; // of the last message in the files
    quint64 m_takenIndex = 0;    // of the last message taken for sending
    quint64 m_ackedIndex = 0;    // every message up to it is acknowledged
    quint64 m_ackedSeq = 0;      // the highest reading number acknowledged
    quint64 m_nextSeq = 1;
    bool m_saidUntrustedSeq = false;
    QByteArray m_waiting; // encoded messages the files could not take yet
    quint64 m_waitingFirst = 0;
    bool m_failed = false;
    QString m_writeError;                          // the last write's that failed
    bool m_dirty = false;                          // written since the last sync
    bool m_folderLost = false;                     // gone, and not made again yet
    std::map<quint64, quint64> m_lost;             // runs of messages known lost
    std::set<std::pair<quint64, qint64>> m_saidAt; // damage already said (segment, byte)

    // Reading: the next message to send, and a window of the file it is in.
    quint64 m_readSegment = 0;
    qint64 m_readOffset = 0;
    quint64 m_bufferSegment = 0;
    QByteArray m_readBuffer;
    qint64 m_readBufferStart = 0;
    std::deque<Sent> m_sent; // taken, in order; acknowledged ones leave from the front
    quint64 m_ackSegment = 0;
    qint64 m_ackOffset = 0;
    QTimer m_syncTimer;
    QTimer m_ackTimer;
    QTimer m_watchTimer;
};
