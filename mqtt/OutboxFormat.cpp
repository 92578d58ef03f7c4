#include "mqtt/OutboxFormat.h"

#include <QList>
#include <QtEndian>
#include <cstring>

namespace OutboxFormat {

namespace {

constexpr char Magic1[8] = {'T', 'X', '9', 'O', 'B', 'X', '0', '1'};
constexpr char Magic2[8] = {'T', 'X', '9', 'O', 'B', 'X', '0', '2'};
constexpr char AckMagic[] = "TX9ACK02";

void putU64(QByteArray &out, quint64 v)
{
    char b[8];
    qToLittleEndian(v, b);
    out.append(b, 8);
}

void putU32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

// A message's body back; false when it is not one.
bool decode(const char *body, qint64 size, OutboxMessage &m)
{
    if (size < MinBody)
        return false;
    m.index = qFromLittleEndian<quint64>(body);
    m.seq = qFromLittleEndian<quint64>(body + 8);
    m.retain = body[16] != 0;
    const quint16 topicLength = qFromLittleEndian<quint16>(body + 17);
    if (19 + qint64(topicLength) + 4 > size)
        return false;
    const qint64 at = 19 + topicLength;
    const quint32 payloadLength = qFromLittleEndian<quint32>(body + at);
    if (at + 4 + qint64(payloadLength) > size)
        return false;
    m.topic = QByteArray(body + 19, topicLength);
    m.payload = QByteArray(body + at + 4, payloadLength);
    m.extra = QByteArray(body + at + 4 + payloadLength, size - (at + 4 + payloadLength));
    return true;
}

} // namespace

quint32 checksum(const char *data, qsizetype size)
{
    quint32 h = 2166136261u; // FNV-1a
    for (qsizetype i = 0; i < size; ++i)
        h = (h ^ quint8(data[i])) * 16777619u;
    return h;
}

QByteArray encode(const OutboxMessage &m)
{
    QByteArray body;
    body.reserve(MinBody + m.topic.size() + m.payload.size() + m.extra.size());
    putU64(body, m.index);
    putU64(body, m.seq);
    body.append(char(m.retain ? 1 : 0));
    const quint16 topicLength = quint16(qMin<qsizetype>(m.topic.size(), 0xffff));
    char t[2];
    qToLittleEndian(topicLength, t);
    body.append(t, 2);
    body.append(m.topic.constData(), topicLength);
    putU32(body, quint32(m.payload.size()));
    body.append(m.payload);
    body.append(m.extra);
    QByteArray record;
    record.reserve(8 + body.size());
    putU32(record, quint32(body.size()));
    putU32(record, checksum(body.constData(), body.size()));
    record.append(body);
    return record;
}

Record readRecord(const char *data, qint64 size, qint64 at, OutboxMessage &m, qint64 &next)
{
    if (at + 8 > size)
        return Record::Short;
    const quint32 length = qFromLittleEndian<quint32>(data + at);
    if (length < MinBody || length > MaxBody)
        return Record::Bad;
    if (at + 8 + qint64(length) > size)
        return Record::Short;
    if (checksum(data + at + 8, length) != qFromLittleEndian<quint32>(data + at + 4) ||
        !decode(data + at + 8, length, m))
        return Record::Bad;
    next = at + 8 + length;
    return Record::Good;
}

qint64 resync(const char *data, qint64 size, qint64 from, quint64 after, OutboxMessage &m)
{
    // Cheap tests first (a length that fits, an index that could follow), the checksum only
    // where both hold: junk of any size is passed over in one walk.
    const quint64 most = after + quint64(qMax<qint64>(0, size - from) / MinRecord) + 1;
    for (qint64 at = from; at + 8 + MinBody <= size; ++at) {
        const quint32 length = qFromLittleEndian<quint32>(data + at);
        if (length < MinBody || length > MaxBody || at + 8 + qint64(length) > size)
            continue;
        const quint64 index = qFromLittleEndian<quint64>(data + at + 8);
        if (index <= after || index > most)
            continue;
        qint64 next = 0;
        if (readRecord(data, size, at, m, next) == Record::Good)
            return at;
    }
    return -1;
}

std::optional<Header> readHeader(const char *data, qint64 size)
{
    Header h;
    if (size >= HeaderBytes && std::memcmp(data, Magic2, 8) == 0) {
        if (checksum(data, 32) != qFromLittleEndian<quint32>(data + 32))
            return std::nullopt;
        h.number = qFromLittleEndian<quint64>(data + 8);
        h.firstIndex = qFromLittleEndian<quint64>(data + 16);
        h.nextSeq = qFromLittleEndian<quint64>(data + 24);
        if (h.number == 0 || h.firstIndex == 0)
            return std::nullopt;
        return h;
    }
    if (size >= 24 && std::memcmp(data, Magic1, 8) == 0) {
        h.version = 1;
        h.bytes = 24;
        h.firstIndex = qFromLittleEndian<quint64>(data + 8);
        h.nextSeq = qFromLittleEndian<quint64>(data + 16);
        if (h.firstIndex == 0)
            return std::nullopt;
        return h;
    }
    return std::nullopt;
}

QByteArray header(quint64 number, quint64 firstIndex, quint64 nextSeq)
{
    QByteArray h(Magic2, 8);
    putU64(h, number);
    putU64(h, firstIndex);
    putU64(h, nextSeq);
    putU32(h, checksum(h.constData(), h.size()));
    putU32(h, 0);
    return h;
}

QByteArray ackLine(const Ack &a)
{
    QByteArray text = QByteArray(AckMagic) + ' ' + QByteArray::number(a.index) + ' ' +
                      QByteArray::number(a.segment) + ' ' + QByteArray::number(a.end) + ' ' +
                      QByteArray::number(a.ackedSeq) + ' ' + QByteArray::number(a.issuedSeq);
    text += ' ' +
            QByteArray::number(checksum(text.constData(), text.size()), 16).rightJustified(8, '0');
    return text.leftJustified(AckBytes - 1, ' ') + '\n';
}

AckKind parseAck(const QByteArray &bytes, Ack &out)
{
    const QByteArray text = bytes.trimmed();
    if (text.isEmpty())
        return AckKind::Empty;
    const QList<QByteArray> f = text.split(' ');
    if (f.size() != 7 || f[0] != AckMagic || f[6].size() != 8)
        return AckKind::Invalid;
    const qsizetype signedBytes = text.size() - 9;
    bool ok = false;
    if (f[6].toUInt(&ok, 16) != checksum(text.constData(), signedBytes) || !ok)
        return AckKind::Invalid;
    bool good[5] = {};
    Ack a;
    a.index = f[1].toULongLong(&good[0]);
    a.segment = f[2].toULongLong(&good[1]);
    a.end = f[3].toLongLong(&good[2]);
    a.ackedSeq = f[4].toULongLong(&good[3]);
    a.issuedSeq = f[5].toULongLong(&good[4]);
    for (bool g : good)
        if (!g)
            return AckKind::Invalid;
    if (a.end < 24 || a.segment == 0)
        return AckKind::Invalid;
    out = a;
    return AckKind::Valid;
}

} // namespace OutboxFormat
