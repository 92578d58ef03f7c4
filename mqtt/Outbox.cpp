#include "mqtt/Outbox.h"

#include "output/SafeFile.h"

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Magic[8] = {'T', 'X', '9', 'O', 'B', 'X', '0', '1'};
constexpr qint64 ReadChunk = 1 << 20;
constexpr int AckFileBytes = 64;

quint32 checksum(const char *data, qsizetype size)
{
    quint32 h = 2166136261u; // FNV-1a
    for (qsizetype i = 0; i < size; ++i)
        h = (h ^ quint8(data[i])) * 16777619u;
    return h;
}

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

QByteArray encode(const Outbox::Message &m)
{
    QByteArray body;
    body.reserve(27 + m.topic.size() + m.payload.size() + m.extra.size());
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

// A message's body back; false when it is not one.
bool decode(const char *body, qsizetype size, Outbox::Message &m)
{
    if (size < 27)
        return false;
    m.index = qFromLittleEndian<quint64>(body);
    m.seq = qFromLittleEndian<quint64>(body + 8);
    m.retain = body[16] != 0;
    const quint16 topicLength = qFromLittleEndian<quint16>(body + 17);
    if (19 + qsizetype(topicLength) + 4 > size)
        return false;
    m.topic = QByteArray(body + 19, topicLength);
    const qsizetype at = 19 + topicLength;
    const quint32 payloadLength = qFromLittleEndian<quint32>(body + at);
    if (at + 4 + qsizetype(payloadLength) > size)
        return false;
    m.payload = QByteArray(body + at + 4, payloadLength);
    m.extra = QByteArray(body + at + 4 + payloadLength, size - (at + 4 + payloadLength));
    return true;
}

QByteArray readWhole(int fd)
{
    QByteArray bytes;
    char chunk[65536];
    qint64 at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return bytes;
        bytes.append(chunk, n);
        at += n;
    }
}

} // namespace

Outbox::Outbox(QObject *parent) : QObject(parent)
{
    m_syncTimer.setSingleShot(true);
    m_syncTimer.setInterval(1000);
    connect(&m_syncTimer, &QTimer::timeout, this, [this] {
        if (!m_waiting.isEmpty())
            writeWaiting();
        flush();
    });
    m_ackTimer.setSingleShot(true);
    m_ackTimer.setInterval(200);
    connect(&m_ackTimer, &QTimer::timeout, this, &Outbox::storeAcked);
}

Outbox::~Outbox()
{
    if (!isOpen())
        return;
    if (!m_waiting.isEmpty())
        writeWaiting();
    flush();
    storeAcked();
    for (int fd : {m_writeFd, m_readFd, m_ackFd, m_lockFd})
        if (fd >= 0)
            ::close(fd);
}

QString Outbox::segmentPath(quint64 number) const
{
    return m_folder + QStringLiteral("/%1.seg").arg(number, 10, 10, QLatin1Char('0'));
}

QStringList Outbox::takeWarnings()
{
    return std::exchange(m_warnings, {});
}

bool Outbox::open(const QString &folder, qint64 segmentBytes)
{
    m_folder = folder;
    m_segmentBytes = segmentBytes;
    auto refuse = [this](const QString &why) {
        m_error = why;
        if (m_lockFd >= 0)
            ::close(std::exchange(m_lockFd, -1));
        return false;
    };
    if (!QDir().mkpath(folder))
        return refuse(QStringLiteral("cannot make the folder %1").arg(folder));
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    const QByteArray lockName = QFile::encodeName(folder + QStringLiteral("/lock"));
    m_lockFd = ::open(lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0)
        return refuse(FileIo::reason(errno));
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0)
        return refuse(QStringLiteral("another logger with the same id is using it"));

    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*.seg")}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        bool ok = false;
        const quint64 number = name.chopped(4).toULongLong(&ok);
        if (ok && number > 0)
            m_segments.push_back({number, 0});
    }
    std::sort(m_segments.begin(), m_segments.end(),
              [](const Segment &a, const Segment &b) { return a.number < b.number; });

    // What was acknowledged: "index segment offset seq" (the highest reading number
    // delivered, so that numbers never come again even when a power cut took the last
    // unsynced messages but not this file).
    const QByteArray ackName = QFile::encodeName(folder + QStringLiteral("/acked"));
    m_ackFd = ::open(ackName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_ackFd < 0)
        return refuse(FileIo::reason(errno));
    const QList<QByteArray> acked = readWhole(m_ackFd).trimmed().split(' ');
    bool ackKnown = acked.size() >= 3;
    if (ackKnown) {
        bool a = false, b = false, c = false;
        m_ackedIndex = acked[0].toULongLong(&a);
        m_ackSegment = acked[1].toULongLong(&b);
        m_ackOffset = acked[2].toLongLong(&c);
        ackKnown = a && b && c && m_ackOffset >= HeaderBytes;
        if (acked.size() >= 4)
            m_ackedSeq = acked[3].toULongLong();
    }
    m_nextSeq = std::max(m_nextSeq, m_ackedSeq + 1);

    // Every segment's header; one that has none holds nothing (a crash as it was made).
    for (auto s = m_segments.begin(); s != m_segments.end();) {
        const QByteArray name = QFile::encodeName(segmentPath(s->number));
        char header[HeaderBytes];
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        const bool whole = fd >= 0 && ::pread(fd, header, HeaderBytes, 0) == HeaderBytes &&
                           std::memcmp(header, Magic, 8) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!whole) {
            struct stat st = {};
            if (::stat(name.constData(), &st) == 0 && st.st_size > 0) {
                QFile f(segmentPath(s->number));
                f.open(QIODevice::ReadOnly);
                setAside(s->number, 0, f.readAll(), QStringLiteral("it has no header"));
            }
            QFile::remove(segmentPath(s->number));
            s = m_segments.erase(s);
            continue;
        }
        s->firstIndex = qFromLittleEndian<quint64>(header + 8);
        m_nextSeq = std::max(m_nextSeq, qFromLittleEndian<quint64>(header + 16));
        ++s;
    }
    if (ackKnown) {
        // Segments before the acknowledged one are delivered.
        while (m_segments.size() > 1 && m_segments.front().number < m_ackSegment) {
            QFile::remove(segmentPath(m_segments.front().number));
            m_segments.pop_front();
        }
        if (m_segments.empty() || m_segments.front().number != m_ackSegment)
            ackKnown = false;
    }
    if (m_segments.empty()) {
        if (!startSegment(m_ackedIndex + 1))
            return refuse(m_error);
    } else if (!scanActive()) {
        return refuse(m_error);
    }
    if (!ackKnown) {
        m_ackSegment = m_segments.front().number;
        m_ackOffset = HeaderBytes;
        m_ackedIndex = m_segments.front().firstIndex - 1;
    }
    if (m_ackedIndex > m_lastIndex ||
        (m_ackSegment == m_segments.back().number && m_ackOffset > m_writeSize)) {
        // Acknowledged beyond what the files hold (their last second did not reach the disk
        // before a power cut, the acknowledgement did): all of it was delivered.
        m_ackedIndex = m_lastIndex;
        m_ackSegment = m_segments.back().number;
        m_ackOffset = m_writeSize;
    }
    m_fileLastIndex = m_lastIndex;
    rewind();
    return true;
}

bool Outbox::startSegment(quint64 firstIndex)
{
    const quint64 number = m_segments.empty() ? 1 : m_segments.back().number + 1;
    const QString path = segmentPath(number);
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_error = FileIo::reason(errno);
        return false;
    }
    QByteArray header(Magic, 8);
    putU64(header, firstIndex);
    putU64(header, m_nextSeq);
    if (const int e = FileIo::writeAll(fd, header.constData(), header.size(), path); e != 0) {
        m_error = FileIo::reason(e);
        ::close(fd);
        QFile::remove(path);
        return false;
    }
    // The new name must survive a power cut too.
    const int dir = ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    if (m_writeFd >= 0) {
        ::fdatasync(m_writeFd);
        ::close(m_writeFd);
    }
    m_writeFd = fd;
    m_writeSize = HeaderBytes;
    m_segments.push_back({number, firstIndex});
    if (m_lastIndex < firstIndex - 1)
        m_lastIndex = firstIndex - 1;
    return true;
}

bool Outbox::scanActive()
{
    const Segment &active = m_segments.back();
    const QString path = segmentPath(active.number);
    const QByteArray name = QFile::encodeName(path);
    m_writeFd = ::open(name.constData(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (m_writeFd < 0) {
        m_error = FileIo::reason(errno);
        return false;
    }
    const QByteArray bytes = readWhole(m_writeFd);
    m_lastIndex = active.firstIndex - 1;
    qint64 at = HeaderBytes;
    Message m;
    while (at + 8 <= bytes.size()) {
        const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + at);
        const quint32 sum = qFromLittleEndian<quint32>(bytes.constData() + at + 4);
        if (at + 8 + qint64(length) > bytes.size() ||
            checksum(bytes.constData() + at + 8, length) != sum ||
            !decode(bytes.constData() + at + 8, length, m) || m.index != m_lastIndex + 1)
            break;
        m_lastIndex = m.index;
        if (m.seq >= m_nextSeq)
            m_nextSeq = m.seq + 1;
        at += 8 + length;
    }
    if (at < bytes.size()) {
        // A torn last message is what a crash mid-write leaves; anything longer is damage.
        // Either way the bytes are kept, and the segment goes on from its last whole message.
        setAside(active.number, at, bytes.mid(at),
                 QStringLiteral("they do not read as whole messages"));
        if (::ftruncate(m_writeFd, at) != 0) {
            m_error = FileIo::reason(errno);
            return false;
        }
    }
    m_writeSize = at;
    return true;
}

void Outbox::setAside(quint64 segment, qint64 from, const QByteArray &bytes, const QString &why)
{
    // A torn message of a few bytes is only the tail of a crash: said, not kept.
    if (bytes.size() < 8) {
        m_warnings << QStringLiteral("The outbox %1 ended in %2 bytes of a message cut off as it "
                                     "was written; they are dropped.")
                          .arg(segmentPath(segment))
                          .arg(bytes.size());
        return;
    }
    QString path;
    for (int n = 1;; ++n) {
        path = m_folder + QStringLiteral("/damaged-%1.bin").arg(n);
        if (!QFile::exists(path))
            break;
    }
    SafeFile aside(path, 0600);
    const bool kept = aside.open() && aside.write(bytes) && aside.commit();
    m_warnings << QStringLiteral("%1 bytes of the outbox %2 from byte %3 are not whole messages "
                                 "(%4); %5.")
                      .arg(bytes.size())
                      .arg(segmentPath(segment))
                      .arg(from)
                      .arg(why, kept ? QStringLiteral("they are kept in %1").arg(path)
                                     : QStringLiteral("they could not be kept: %1")
                                           .arg(aside.errorString()));
}

void Outbox::append(const Message &message)
{
    Message m = message;
    m.index = ++m_lastIndex;
    if (m.seq > 0)
        m_nextSeq = std::max(m_nextSeq, m.seq + 1);
    if (m_waiting.isEmpty())
        m_waitingFirst = m.index;
    m_waiting.append(encode(m));
    writeWaiting();
}

bool Outbox::writeWaiting()
{
    if (m_waiting.isEmpty() || m_writeFd < 0)
        return m_waiting.isEmpty();
    if (m_writeSize >= m_segmentBytes && !startSegment(m_waitingFirst)) {
        if (!m_failed) {
            m_failed = true;
            emit writeFailed(m_error);
        }
        m_syncTimer.start();
        return false;
    }
    const QString path = segmentPath(m_segments.back().number);
    if (const int e = FileIo::writeAll(m_writeFd, m_waiting.constData(), m_waiting.size(), path);
        e != 0) {
        // Nothing half written stays: the file ends at its last whole message again.
        [[maybe_unused]] const int t = ::ftruncate(m_writeFd, m_writeSize);
        if (!m_failed) {
            m_failed = true;
            emit writeFailed(FileIo::reason(e));
        }
        m_syncTimer.start();
        return false;
    }
    m_writeSize += m_waiting.size();
    m_waiting.clear();
    m_fileLastIndex = m_lastIndex;
    m_dirty = true;
    if (!m_syncTimer.isActive())
        m_syncTimer.start();
    if (m_failed) {
        m_failed = false;
        emit writeRecovered();
    }
    return true;
}

bool Outbox::flush()
{
    if (m_writeFd < 0)
        return false;
    if (!m_waiting.isEmpty() && !writeWaiting())
        return false;
    if (!m_dirty)
        return true;
    if (const int e = FileIo::sync(m_writeFd, segmentPath(m_segments.back().number)); e != 0) {
        if (!m_failed) {
            m_failed = true;
            emit writeFailed(FileIo::reason(e));
        }
        return false;
    }
    m_dirty = false;
    return true;
}

bool Outbox::hasUnsent()
{
    return m_takenIndex < m_fileLastIndex;
}

bool Outbox::readAt(quint64 segment, qint64 offset, Message &out, qint64 &next)
{
    if (m_readFd < 0 || m_readFdSegment != segment) {
        if (m_readFd >= 0)
            ::close(m_readFd);
        m_readFd =
            ::open(QFile::encodeName(segmentPath(segment)).constData(), O_RDONLY | O_CLOEXEC);
        m_readFdSegment = segment;
        m_readBuffer.clear();
        if (m_readFd < 0)
            return false;
    }
    auto have = [&](qint64 bytes) {
        return offset >= m_readBufferStart &&
               offset + bytes <= m_readBufferStart + m_readBuffer.size();
    };
    auto fill = [&](qint64 bytes) {
        m_readBuffer.resize(std::max(ReadChunk, bytes));
        qint64 got = 0;
        while (got < m_readBuffer.size()) {
            const ssize_t n = ::pread(m_readFd, m_readBuffer.data() + got,
                                      size_t(m_readBuffer.size() - got), offset + got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        m_readBuffer.resize(got);
        m_readBufferStart = offset;
    };
    if (!have(8))
        fill(8);
    if (!have(8))
        return false;
    const char *at = m_readBuffer.constData() + (offset - m_readBufferStart);
    const quint32 length = qFromLittleEndian<quint32>(at);
    if (!have(8 + qint64(length))) {
        fill(8 + qint64(length));
        if (!have(8 + qint64(length)))
            return false;
        at = m_readBuffer.constData();
    }
    if (checksum(at + 8, length) != qFromLittleEndian<quint32>(at + 4) ||
        !decode(at + 8, length, out))
        return false;
    next = offset + 8 + length;
    return true;
}

bool Outbox::take(Message &out)
{
    while (hasUnsent()) {
        qint64 next = 0;
        if (readAt(m_readSegment, m_readOffset, out, next) && out.index == m_takenIndex + 1) {
            m_readOffset = next;
            m_takenIndex = out.index;
            m_sent.push_back({out.index, out.seq, m_readSegment, next, false});
            return true;
        }
        // The end of a finished segment (or what of it cannot be read): on to the next one.
        auto s = std::find_if(m_segments.begin(), m_segments.end(),
                              [this](const Segment &x) { return x.number > m_readSegment; });
        if (s == m_segments.end())
            return false;
        if (s->firstIndex != m_takenIndex + 1) {
            QFile rest(segmentPath(m_readSegment));
            if (rest.open(QIODevice::ReadOnly) && rest.seek(m_readOffset))
                setAside(m_readSegment, m_readOffset, rest.readAll(),
                         QStringLiteral("messages %1 to %2 cannot be read")
                             .arg(m_takenIndex + 1)
                             .arg(s->firstIndex - 1));
            // Those messages are gone from the count: the ones after them go on.
            m_takenIndex = s->firstIndex - 1;
            m_sent.push_back({m_takenIndex, 0, s->number, HeaderBytes, true});
            acknowledge(m_takenIndex);
        }
        m_readSegment = s->number;
        m_readOffset = HeaderBytes;
    }
    return false;
}

void Outbox::acknowledge(quint64 index)
{
    if (m_sent.empty() || index < m_sent.front().index)
        return;
    const quint64 at = index - m_sent.front().index;
    if (at >= m_sent.size() || m_sent[at].index != index)
        return;
    m_sent[at].acked = true;
    bool moved = false;
    while (!m_sent.empty() && m_sent.front().acked) {
        m_ackedIndex = m_sent.front().index;
        m_ackedSeq = std::max(m_ackedSeq, m_sent.front().seq);
        m_ackSegment = m_sent.front().segment;
        m_ackOffset = m_sent.front().end;
        m_sent.pop_front();
        moved = true;
    }
    if (moved && !m_ackTimer.isActive())
        m_ackTimer.start();
}

void Outbox::rewind()
{
    m_sent.clear();
    m_readSegment = m_ackSegment;
    m_readOffset = m_ackOffset;
    m_takenIndex = m_ackedIndex;
}

void Outbox::storeAcked()
{
    if (m_ackFd < 0)
        return;
    QByteArray text = QByteArray::number(m_ackedIndex) + ' ' + QByteArray::number(m_ackSegment) +
                      ' ' + QByteArray::number(m_ackOffset) + ' ' + QByteArray::number(m_ackedSeq);
    text = text.leftJustified(AckFileBytes - 1, ' ') + '\n';
    if (::pwrite(m_ackFd, text.constData(), size_t(text.size()), 0) != text.size())
        return; // the next store tries again; until then messages may go twice, not never
    // What every message of is acknowledged goes (never the newest segment).
    while (m_segments.size() > 1 && m_segments.front().number < m_ackSegment) {
        if (m_readFd >= 0 && m_readFdSegment == m_segments.front().number)
            ::close(std::exchange(m_readFd, -1));
        QFile::remove(segmentPath(m_segments.front().number));
        m_segments.pop_front();
    }
}
