#include "mqtt/Outbox.h"

#include "mqtt/OutboxFiles.h"
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

using namespace OutboxFormat;
using namespace OutboxFiles;

Outbox::Outbox(QObject *parent) : QObject(parent)
{
    m_syncTimer.setSingleShot(true);
    m_syncTimer.setInterval(1000);
    connect(&m_syncTimer, &QTimer::timeout, this, [this] { flush(); });
    m_ackTimer.setSingleShot(true);
    m_ackTimer.setInterval(200);
    connect(&m_ackTimer, &QTimer::timeout, this, &Outbox::storeAcked);
    m_watchTimer.setInterval(2000);
    connect(&m_watchTimer, &QTimer::timeout, this, &Outbox::watchFolder);
}

Outbox::~Outbox()
{
    if (!isOpen())
        return;
    flush();
    storeAcked();
    for (const Segment &s : m_segments)
        ::close(s.fd);
    for (int fd : {m_ackFd, m_lockFd})
        if (fd >= 0)
            ::close(fd);
}

QString Outbox::segmentPath(quint64 number) const
{
    return m_folder + QStringLiteral("/%1.seg").arg(number, 10, 10, QLatin1Char('0'));
}

QString Outbox::asidePath(const char *kind) const
{
    for (int n = 1;; ++n) {
        const QString path =
            m_folder + QStringLiteral("/%1-%2.bin").arg(QLatin1String(kind)).arg(n);
        if (!QFile::exists(path))
            return path;
    }
}

Outbox::Segment *Outbox::segment(quint64 number)
{
    for (Segment &s : m_segments)
        if (s.number == number)
            return &s;
    return nullptr;
}

qint64 Outbox::segmentEnd(const Segment &s) const
{
    return s.number == m_segments.back().number ? m_writeSize : s.size;
}

QString Outbox::whyNotKept() const
{
    return m_folderLost
               ? QStringLiteral("its folder is gone and cannot be made again: %1").arg(m_error)
               : m_writeError;
}

QStringList Outbox::takeWarnings()
{
    return std::exchange(m_warnings, {});
}

void Outbox::say(const QString &text)
{
    if (m_opened)
        emit trouble(text);
    else
        m_warnings << text;
}

quint64 Outbox::pending() const
{
    quint64 lost = 0;
    for (const auto &[first, last] : m_lost)
        if (last > m_ackedIndex)
            lost += last - std::max(first, m_ackedIndex + 1) + 1;
    return m_lastIndex - m_ackedIndex - lost;
}

bool Outbox::countersInOrder() const
{
    return m_ackedIndex <= m_takenIndex && m_takenIndex <= m_fileLastIndex &&
           m_fileLastIndex <= m_lastIndex && m_ackedSeq < m_nextSeq;
}

quint64 Outbox::onDisk() const
{
    return m_folderLost ? 0 : pending() - (m_lastIndex - m_fileLastIndex);
}

bool Outbox::startSegment(quint64 firstIndex)
{
    const quint64 number = m_segments.empty() ? 1 : m_segments.back().number + 1;
    const QString path = segmentPath(number);
    const int fd = openSegment(path, O_CREAT | O_TRUNC);
    if (fd < 0) {
        m_error = FileIo::reason(errno);
        return false;
    }
    const QByteArray head = header(number, firstIndex, m_nextSeq);
    if (const int e = FileIo::writeAll(fd, head.constData(), head.size(), path); e != 0) {
        m_error = FileIo::reason(e);
        ::close(fd);
        QFile::remove(path);
        return false;
    }
    // The new name must survive a power cut too.
    syncFolder(m_folder);
    if (m_writeFd >= 0)
        ::fdatasync(m_writeFd);
    if (!m_segments.empty())
        m_segments.back().size = m_writeSize; // finished: its size stays
    m_writeFd = fd;
    m_writeSize = head.size();
    m_segments.push_back({number, firstIndex, head.size(), fd, 0});
    if (m_lastIndex < firstIndex - 1)
        m_lastIndex = firstIndex - 1;
    return true;
}

void Outbox::lose(quint64 first, quint64 last, quint64 segment, qint64 from, qint64 to)
{
    if (m_saidAt.insert({segment, from}).second) {
        const Segment *s = this->segment(segment);
        const QByteArray bytes = s && to > from ? readRange(s->fd, from, to) : QByteArray();
        const QString count = last >= first ? QStringLiteral("%1 (%2 to %3)")
                                                  .arg(messages(last - first + 1))
                                                  .arg(first)
                                                  .arg(last)
                                            : QStringLiteral("no message");
        say(QStringLiteral("The outbox %1 is damaged: %2 cannot be read and will not be "
                           "published; %3. The messages after them go on.")
                .arg(segmentPath(segment), count, keepAside(from, bytes)));
    }
    if (last < first)
        return;
    m_lost[first] = last;
    if (!m_opened)
        return; // at open: counted, and passed over when reading reaches them
    m_sent.push_back({first, last, 0, segment, to, true});
    m_takenIndex = last;
    popAcknowledged();
}

void Outbox::append(const Message &message)
{
    Message m = message;
    m.index = ++m_lastIndex;
    if (m.seq > 0 && m.seq < SeqLimit)
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
    auto failed = [this](const QString &reason) {
        m_writeError = reason;
        if (!m_failed) {
            m_failed = true;
            emit writeFailed(reason);
        }
        storeAcked(); // the numbers given stay given
        m_syncTimer.start();
        return false;
    };
    if (m_writeSize >= m_segmentBytes && !startSegment(m_waitingFirst))
        return failed(m_error);
    const QString path = segmentPath(m_segments.back().number);
    if (const int e = FileIo::writeAll(m_writeFd, m_waiting.constData(), m_waiting.size(), path);
        e != 0) {
        // Nothing half written stays: the file ends at its last whole message again.
        [[maybe_unused]] const int t = ::ftruncate(m_writeFd, m_writeSize);
        m_bufferSegment = 0;
        return failed(FileIo::reason(e));
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
    watchFolder();
    if (m_folderLost)
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

Record Outbox::recordAt(const Segment &s, qint64 offset, Message &m, qint64 &next)
{
    // Through a window of the file, refilled when the record runs past it. The window never
    // holds bytes past the segment's end: those may still change.
    const qint64 end = segmentEnd(s);
    auto window = [&](qint64 bytes) -> const char * {
        if (m_bufferSegment != s.number || offset < m_readBufferStart ||
            offset + bytes > m_readBufferStart + m_readBuffer.size()) {
            m_readBuffer =
                readRange(s.fd, offset, std::min(end, offset + std::max(ReadChunk, bytes)));
            m_readBufferStart = offset;
            m_bufferSegment = s.number;
        }
        return m_readBuffer.constData() + (offset - m_readBufferStart);
    };
    const qint64 have = [&] {
        const char *p = window(8);
        const qint64 got = m_readBufferStart + m_readBuffer.size() - offset;
        const qint64 length = got < 8 ? 0 : qint64(qFromLittleEndian<quint32>(p));
        return length < MinBody || length > MaxBody ? std::min<qint64>(got, 8) : 8 + length;
    }();
    const char *p = window(have);
    const qint64 size = std::min(have, m_readBufferStart + m_readBuffer.size() - offset);
    const Record r = readRecord(p, size, 0, m, next);
    next += offset;
    return r;
}

bool Outbox::take(Message &out)
{
    while (hasUnsent()) {
        const Segment *s = segment(m_readSegment);
        if (!s)
            return false;
        const qint64 end = segmentEnd(*s);
        if (m_readOffset >= end) {
            // The end of a finished segment: on to the next one.
            const auto next =
                std::find_if(m_segments.begin(), m_segments.end(),
                             [this](const Segment &x) { return x.number > m_readSegment; });
            if (next == m_segments.end())
                return false;
            if (next->firstIndex > m_takenIndex + 1)
                lose(m_takenIndex + 1, next->firstIndex - 1, s->number, end, end);
            m_readSegment = next->number;
            m_readOffset = next->start;
            continue;
        }
        qint64 next = 0;
        const Record r = recordAt(*s, m_readOffset, out, next);
        if (r == Record::Good && out.index > m_takenIndex) {
            if (out.index > m_takenIndex + 1)
                lose(m_takenIndex + 1, out.index - 1, s->number, m_readOffset, m_readOffset);
            m_sent.push_back({out.index, out.index, out.seq, s->number, next, false});
            m_readOffset = next;
            m_takenIndex = out.index;
            return true;
        }
        // Damage: what follows it is found, and delivery goes on there.
        const QByteArray rest = readRange(s->fd, m_readOffset, end);
        Message found;
        const qint64 good = resync(rest.constData(), rest.size(), 1, m_takenIndex, found);
        quint64 last = 0;
        if (good >= 0) {
            last = found.index - 1;
        } else {
            const auto after =
                std::find_if(m_segments.begin(), m_segments.end(),
                             [this](const Segment &x) { return x.number > m_readSegment; });
            last = after == m_segments.end() ? m_fileLastIndex : after->firstIndex - 1;
        }
        const qint64 from = m_readOffset, to = good >= 0 ? m_readOffset + good : end;
        m_readOffset = to;
        lose(m_takenIndex + 1, last, s->number, from, to);
    }
    return false;
}

void Outbox::acknowledge(quint64 index)
{
    const auto it = std::lower_bound(m_sent.begin(), m_sent.end(), index,
                                     [](const Sent &s, quint64 i) { return s.last < i; });
    if (it == m_sent.end() || it->first > index)
        return;
    it->acked = true;
    popAcknowledged();
}

void Outbox::popAcknowledged()
{
    bool moved = false;
    while (!m_sent.empty() && m_sent.front().acked) {
        const Sent &s = m_sent.front();
        m_ackedIndex = s.last;
        // A number never given (a stored message's, beyond what is trusted) is not taken as
        // delivered: the numbers after it would repeat.
        if (s.seq < m_nextSeq)
            m_ackedSeq = std::max(m_ackedSeq, s.seq);
        m_ackSegment = s.segment;
        m_ackOffset = s.end;
        m_sent.pop_front();
        moved = true;
    }
    while (!m_lost.empty() && m_lost.begin()->second <= m_ackedIndex)
        m_lost.erase(m_lost.begin());
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
    if (m_ackFd < 0 || m_folderLost)
        return;
    Ack a;
    a.index = m_ackedIndex;
    a.segment = m_ackSegment;
    a.end = m_ackOffset;
    a.ackedSeq = m_ackedSeq;
    a.issuedSeq = m_nextSeq - 1;
    const QByteArray text = ackLine(a);
    if (::pwrite(m_ackFd, text.constData(), size_t(text.size()), 0) != text.size())
        return; // the next store tries again; until then messages may go twice, not never
    // What every message of is acknowledged goes (never the newest segment).
    while (m_segments.size() > 1 && m_segments.front().number < m_ackSegment) {
        ::close(m_segments.front().fd);
        QFile::remove(segmentPath(m_segments.front().number));
        if (m_bufferSegment == m_segments.front().number)
            m_bufferSegment = 0;
        m_segments.pop_front();
    }
}
