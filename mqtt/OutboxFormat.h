#pragma once
// The bytes of an outbox on disk, as pure functions: segments of checked messages, and the
// record of what the broker has acknowledged.
//
// A segment (0000000001.seg, ...):
//   header, version 2 (40 bytes, all little-endian):
//     0  "TX9OBX02"   magic
//     8  u64          the segment's number (a copy under another name is told by it)
//     16 u64          the index of its first message
//     24 u64          the next reading number when it was begun
//     32 u32          FNV-1a of bytes 0-31
//     36 u32          0
//   header, version 1 (24 bytes, still read): "TX9OBX01", first index, next reading number.
//   then messages, each:
//     0  u32 length of the body, u32 FNV-1a of the body, then the body:
//        u64 index, u64 seq, u8 retain, u16 topic length, topic, u32 payload length,
//        payload, extra (the rest)
//
// The acknowledgement (the file "acked", one line padded to 64 bytes):
//   TX9ACK02 <index> <segment> <end> <acked seq> <issued seq> <FNV-1a of what precedes it,
//   8 hex digits>
// index: every message up to it is acknowledged; the message after it begins at byte end of
// that segment (or that segment ends there). acked seq: the highest reading number
// delivered; issued seq: the highest ever given to a reading.

#include <QByteArray>
#include <optional>

struct OutboxMessage
{
    quint64 index = 0; // position in the outbox since it was made; gapless
    quint64 seq = 0;   // the reading's number (0 for a message that is not a reading)
    bool retain = false;
    QByteArray topic; // below the logger's topic prefix: "reading", "alarm"
    QByteArray payload;
    QByteArray extra; // a second payload (the reading's JSON when the payload is not)
};

namespace OutboxFormat {

// The smallest body: index, seq, retain, a topic length of 0 and a payload length of 0.
constexpr qint64 MinBody = 8 + 8 + 1 + 2 + 4;
constexpr qint64 MaxBody = 1 << 24;
constexpr qint64 MinRecord = 8 + MinBody;
constexpr qint64 AckBytes = 64;

quint32 checksum(const char *data, qsizetype size);

QByteArray encode(const OutboxMessage &m);

enum class Record
{
    Good,
    Short, // the bytes end before the record would
    Bad,   // a length, a checksum or a body that is not a message
};
// The record at byte at of data: Good with the message and where the next record begins.
Record readRecord(const char *data, qint64 size, qint64 at, OutboxMessage &m, qint64 &next);

// The first good record at or after from whose index is above after (and no further above
// it than the bytes could hold): its offset, or -1.
qint64 resync(const char *data, qint64 size, qint64 from, quint64 after, OutboxMessage &m);

struct Header
{
    int version = 2;
    quint64 number = 0; // version 1: 0, the file name says it
    quint64 firstIndex = 0;
    quint64 nextSeq = 0;
    qint64 bytes = 40;
};
// A segment's header; none when the bytes are not one (or its checksum fails).
std::optional<Header> readHeader(const char *data, qint64 size);
QByteArray header(quint64 number, quint64 firstIndex, quint64 nextSeq);
constexpr qint64 HeaderBytes = 40;

struct Ack
{
    quint64 index = 0;
    quint64 segment = 0;
    qint64 end = 0;
    quint64 ackedSeq = 0;
    quint64 issuedSeq = 0;
};
QByteArray ackLine(const Ack &a);
enum class AckKind
{
    Empty, // a new outbox: nothing to trust or to doubt
    Valid,
    Invalid, // the old kind without a checksum, a bad checksum, or not an acknowledgement
};
AckKind parseAck(const QByteArray &bytes, Ack &out);

} // namespace OutboxFormat
