#pragma once
// The outbox of one logger id: every message for the broker is written here before it is
// published, and leaves only when the broker has acknowledged it. A broker away for a week, a
// program killed or a power cut lose nothing that reached the outbox; when the broker is back,
// the messages go out oldest first, in order (at least once: what was in flight may go twice).
//
// On disk, in the outbox's folder:
// - segments 0000000001.seg, 0000000002.seg, ...: a header (magic, the index of the first
//   message and the next reading number), then messages, each a length, a checksum and its
//   body. Only the newest segment is appended to; a new one begins once it passes the segment
//   size. Messages are written with write() at once (a killed program loses nothing) and
//   synced at most once a second (a power cut loses at most that second, as the journal does).
// - acked: the index of the last message acknowledged (and the highest reading number), written
//   a moment after acks come. It may lag behind (the messages after it are sent again); should
//   a power cut leave it ahead of the segments, what it says was delivered counts as such.
// - lock: held by the process that owns the outbox.
// A torn last message (a crash mid-write) is cut off at open; bytes that do not read as
// messages are never dropped silently: they are copied aside as damaged-<n>.bin and said.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>

class Outbox : public QObject
{
    Q_OBJECT
public:
    struct Message
    {
        quint64 index = 0; // position in the outbox since it was made; gapless
        quint64 seq = 0;   // the reading's number (0 for a message that is not a reading)
        bool retain = false;
        QByteArray topic; // below the logger's topic prefix: "reading", "alarm"
        QByteArray payload;
        QByteArray extra; // a second payload (the reading's JSON when the payload is not)
    };

    explicit Outbox(QObject *parent = nullptr);
    ~Outbox() override; // writes out and syncs what it can

    // Opens (or makes) the outbox in folder. False with errorString() when it cannot be used
    // (not writable, or another process owns it); warnings() then or later lists what was
    // found damaged and set aside.
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

    // Messages not yet acknowledged, and those not yet taken for sending.
    quint64 pending() const { return m_lastIndex - m_ackedIndex; }
    bool hasUnsent();
    // The next message to send, moved past; false when none is written yet.
    bool take(Message &out);
    // The broker has the message of that index.
    void acknowledge(quint64 index);
    // Everything taken but not acknowledged is offered again, from the oldest (a new
    // connection: what was in flight may be lost).
    void rewind();
    // Written out and synced now; false when that failed.
    bool flush();

signals:
    void writeFailed(const QString &reason);
    // A write that had failed went through again.
    void writeRecovered();

private:
    struct Segment
    {
        quint64 number = 0;
        quint64 firstIndex = 0;
    };
    struct Sent
    {
        quint64 index;
        quint64 seq;
        quint64 segment; // where the message after it begins
        qint64 end;
        bool acked;
    };
    static constexpr qint64 HeaderBytes = 24;
    QString segmentPath(quint64 number) const;
    bool startSegment(quint64 firstIndex);
    bool scanActive(); // the newest segment: its last message, a torn tail cut off
    void setAside(quint64 segment, qint64 from, const QByteArray &bytes, const QString &why);
    bool writeWaiting();
    void storeAcked();
    bool readAt(quint64 segment, qint64 offset, Message &out, qint64 &next);

    QString m_folder;
    QString m_error;
    QStringList m_warnings;
    qint64 m_segmentBytes = 8 << 20;
    int m_lockFd = -1;
    int m_ackFd = -1;
    int m_writeFd = -1;     // the newest segment
    qint64 m_writeSize = 0; // its whole messages' bytes
    std::deque<Segment> m_segments;
    quint64 m_lastIndex = 0;     // of the last message appended
    quint64 m_fileLastIndex = 0; // of the last message in the files
    quint64 m_takenIndex = 0;    // of the last message taken for sending
    quint64 m_ackedIndex = 0;    // every message up to it is acknowledged
    quint64 m_ackedSeq = 0;      // the highest reading number acknowledged
    quint64 m_nextSeq = 1;
    QByteArray m_waiting; // encoded messages the files could not take yet
    quint64 m_waitingFirst = 0;
    bool m_failed = false;
    bool m_dirty = false; // written since the last sync

    // Reading: the next message to send, and a window of the file it is in.
    quint64 m_readSegment = 0;
    qint64 m_readOffset = 0;
    int m_readFd = -1;
    quint64 m_readFdSegment = 0;
    QByteArray m_readBuffer;
    qint64 m_readBufferStart = 0;
    std::deque<Sent> m_sent; // taken, in order; acknowledged ones leave from the front
    quint64 m_ackSegment = 0;
    qint64 m_ackOffset = 0;
    QTimer m_syncTimer;
    QTimer m_ackTimer;
};
