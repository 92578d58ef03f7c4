// The outbox read back from disk: its segments checked and their damage set aside at open,
// the acknowledgement trusted only when it checks out, and a folder deleted while running
// made again from the segments still open.

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
    const QByteArray ackName = QFile::encodeName(folder + QStringLiteral("/acked"));
    m_ackFd = ::open(ackName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_ackFd < 0)
        return refuse(FileIo::reason(errno));
    // Its room is taken first: on a disk that fills up later it is overwritten in place, so
    // the numbers given stay recorded when no message can be written any more.
    if (const qint64 size = fileSize(m_ackFd); size < AckBytes) {
        const QByteArray blank = QByteArray(AckBytes - 1 - size, ' ') + '\n'; // after what is
        if (::pwrite(m_ackFd, blank.constData(), size_t(blank.size()), size) != blank.size() ||
            ::fdatasync(m_ackFd) != 0)
            return refuse(FileIo::reason(errno));
    }
    if (!loadSegments())
        return refuse(m_error);
    if (m_segments.empty()) {
        // A new outbox, or one whose every message was delivered: numbering goes on from
        // the acknowledgement when it can be trusted.
        Ack a;
        if (parseAck(readRange(m_ackFd, 0, AckBytes), a) == AckKind::Valid) {
            takeAckSeqs(a);
            m_ackedSeq = a.ackedSeq < SeqLimit ? a.ackedSeq : 0;
            m_lastIndex = a.index;
        }
        if (!startSegment(m_lastIndex + 1))
            return refuse(m_error);
        m_ackedIndex = m_lastIndex;
        m_ackSegment = m_segments.back().number;
        m_ackOffset = m_writeSize;
    } else {
        if (!scanActive())
            return refuse(m_error);
        loadAck();
    }
    m_fileLastIndex = m_lastIndex;
    rewind();
    storeAcked();
    m_opened = true;
    m_watchTimer.start();
    return true;
}

bool Outbox::loadSegments()
{
    const QStringList names =
        QDir(m_folder).entryList({QStringLiteral("*.seg")}, QDir::Files, QDir::Name);
    std::deque<std::pair<Segment, quint64>> found; // with the next reading number of its header
    for (const QString &name : names) {
        bool ok = false;
        const quint64 number = name.chopped(4).toULongLong(&ok);
        if (!ok || number == 0)
            continue;
        const QString path = m_folder + QLatin1Char('/') + name;
        Segment s{number, 0, 0, openSegment(path, 0), 0};
        if (s.fd < 0) {
            m_error = QStringLiteral("cannot open %1: %2").arg(path, FileIo::reason(errno));
            return false;
        }
        const QByteArray head = readRange(s.fd, 0, HeaderBytes);
        const std::optional<Header> h = readHeader(head.constData(), head.size());
        if (h && h->version == 2 && h->number != number) {
            setAsideFile(s, QStringLiteral("its header says it is segment %1").arg(h->number));
            continue;
        }
        if (h) {
            s.firstIndex = h->firstIndex;
            s.start = h->bytes;
            found.emplace_back(s, h->nextSeq);
            continue;
        }
        // No header that can be trusted: the messages in it still can be.
        const QByteArray bytes = readRange(s.fd, 0, fileSize(s.fd));
        Message m;
        const qint64 first =
            bytes.isEmpty() ? -1 : resync(bytes.constData(), bytes.size(), 0, 0, m);
        if (first < 0) {
            if (!bytes.isEmpty())
                setAsideFile(s, QStringLiteral("it holds no message that can be read"));
            else {
                ::close(s.fd); // a crash as it was made
                QFile::remove(path);
            }
            continue;
        }
        m_warnings << QStringLiteral("The header of the outbox file %1 is damaged; its messages "
                                     "are read without it (%2).")
                          .arg(path, keepAside(0, bytes.left(first)));
        s.firstIndex = m.index;
        s.start = first;
        // The reading numbers in it are not bounded by a header: each one counts.
        for (qint64 at = first, next = 0; at >= 0; at = next) {
            seqSeen(m.seq, path);
            if (readRecord(bytes.constData(), bytes.size(), at, m, next) != Record::Good)
                next = resync(bytes.constData(), bytes.size(), at + 1, m.index, m);
        }
        found.emplace_back(s, 0);
    }
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return a.first.number < b.first.number; });
    for (const auto &[s, nextSeq] : found) {
        // A segment begins after the one before it; one that does not repeats it.
        if (!m_segments.empty() && s.firstIndex <= m_segments.back().firstIndex) {
            setAsideFile(s, QStringLiteral("it repeats the messages of %1")
                                .arg(segmentPath(m_segments.back().number)));
            continue;
        }
        m_segments.push_back(s);
        m_segments.back().size = fileSize(s.fd);
        if (nextSeq > 0)
            seqSeen(nextSeq - 1, segmentPath(s.number));
    }
    return true;
}

void Outbox::setAsideFile(const Segment &s, const QString &why)
{
    ::close(s.fd);
    const QString path = asidePath("stray");
    const bool moved = QFile::rename(segmentPath(s.number), path);
    m_warnings << QStringLiteral("The outbox file %1 is not sent: %2. %3")
                      .arg(segmentPath(s.number), why,
                           moved ? QStringLiteral("It is kept as %1.").arg(path)
                                 : QStringLiteral("It could not be moved aside."));
}

bool Outbox::scanActive()
{
    const Segment &active = m_segments.back();
    m_writeFd = active.fd;
    const QByteArray bytes = readRange(m_writeFd, 0, fileSize(m_writeFd));
    const qint64 size = bytes.size();
    m_lastIndex = active.firstIndex - 1;
    quint64 seqBefore = m_nextSeq - 1;
    qint64 at = active.start;
    Message m;
    while (at < size) {
        qint64 next = 0;
        const Record r = readRecord(bytes.constData(), size, at, m, next);
        if (r == Record::Good && m.index > m_lastIndex) {
            if (m.index > m_lastIndex + 1)
                lose(m_lastIndex + 1, m.index - 1, active.number, at, at);
            m_lastIndex = m.index;
            seqSeen(m.seq, segmentPath(active.number));
            seqBefore = m_nextSeq - 1;
            at = next;
            continue;
        }
        const qint64 good = resync(bytes.constData(), size, at + 1, m_lastIndex, m);
        if (good >= 0) {
            lose(m_lastIndex + 1, m.index - 1, active.number, at, good);
            // What was lost may have held readings: their numbers are never given again.
            m_nextSeq = std::max(m_nextSeq, seqBefore + (m.index - m_lastIndex - 1) + 1);
            at = good;
            continue;
        }
        // The tail: a message torn as it was written (a crash), or damage to the end. The
        // segment goes on from its last whole message; the bytes are kept aside.
        quint64 count = 0;
        for (qint64 p = at; p + 8 <= size && count < quint64(size); ++count) {
            const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + p);
            if (length < MinBody || length > MaxBody)
                break;
            p += 8 + length;
        }
        count = std::max<quint64>(count, 1);
        // A message cut off as it was written never went anywhere; its number, when the
        // bytes still hold it, is not given again all the same (a consumer that saw a copy of
        // it, or a reader of the kept bytes, must never meet it on another reading).
        const bool torn = r == Record::Short && count == 1;
        if (at + 24 <= size &&
            qFromLittleEndian<quint64>(bytes.constData() + at + 8) == m_lastIndex + 1)
            seqSeen(qFromLittleEndian<quint64>(bytes.constData() + at + 16),
                    segmentPath(active.number));
        m_warnings << QStringLiteral("The last %1 of the outbox %2 cannot be read%3; %4.")
                          .arg(messages(count), segmentPath(active.number),
                               torn ? QStringLiteral(" (cut off as it was written)") : QString(),
                               keepAside(at, bytes.mid(at)));
        if (!torn)
            m_nextSeq = std::max(m_nextSeq, seqBefore + count + 1);
        if (::ftruncate(m_writeFd, at) != 0) {
            m_error = FileIo::reason(errno);
            return false;
        }
        break;
    }
    m_writeSize = std::min(at, size);
    m_nextSeq = std::max(m_nextSeq, seqBefore + 1);
    return true;
}

void Outbox::loadAck()
{
    Ack a;
    const AckKind kind = parseAck(readRange(m_ackFd, 0, AckBytes), a);
    bool trusted = false;
    if (kind == AckKind::Valid) {
        // Our own record (its checksum holds): the numbers it gave are never given again.
        takeAckSeqs(a);
        const Segment *s = segment(a.segment);
        const bool active = s && s == &m_segments.back();
        Message m;
        qint64 next = 0;
        if (s && a.end >= s->start) {
            if (active && a.end >= m_writeSize && a.index >= m_lastIndex) {
                // Acknowledged beyond what the files hold (their last second did not reach
                // the disk before a power cut, the acknowledgement did): all of it was
                // delivered.
                a.index = m_lastIndex;
                a.end = m_writeSize;
                trusted = true;
            } else if (a.end == segmentEnd(*s)) {
                const auto after =
                    std::find_if(m_segments.begin(), m_segments.end(),
                                 [&](const Segment &x) { return x.number > s->number; });
                trusted = after == m_segments.end() ? a.index == m_lastIndex
                                                    : a.index + 1 == after->firstIndex;
            } else {
                trusted = recordAt(*s, a.end, m, next) == Record::Good && m.index == a.index + 1;
            }
        }
    }
    if (trusted) {
        m_ackedIndex = a.index;
        m_ackedSeq = a.ackedSeq < SeqLimit ? a.ackedSeq : 0;
        m_ackSegment = a.segment;
        m_ackOffset = a.end;
        // What comes before the acknowledged segment was delivered.
        while (m_segments.front().number < m_ackSegment) {
            ::close(m_segments.front().fd);
            QFile::remove(segmentPath(m_segments.front().number));
            m_segments.pop_front();
        }
        return;
    }
    if (kind != AckKind::Empty)
        m_warnings << QStringLiteral("The outbox's record of what the broker has (%1/acked) "
                                     "cannot be trusted; every message in the outbox is sent "
                                     "again, and a consumer may get some twice.")
                          .arg(m_folder);
    m_ackSegment = m_segments.front().number;
    m_ackOffset = m_segments.front().start;
    m_ackedIndex = m_segments.front().firstIndex - 1;
}

void Outbox::seqSeen(quint64 seq, const QString &where)
{
    if (seq < SeqLimit) {
        m_nextSeq = std::max(m_nextSeq, seq + 1);
        return;
    }
    if (!std::exchange(m_saidUntrustedSeq, true))
        m_warnings << QStringLiteral("%1 names the reading number %2, which this program never "
                                     "gives; it is not trusted, and numbering goes on above the "
                                     "numbers that can be.")
                          .arg(where)
                          .arg(seq);
}

void Outbox::takeAckSeqs(const Ack &a)
{
    const QString where = m_folder + QStringLiteral("/acked");
    seqSeen(a.issuedSeq, where);
    seqSeen(a.ackedSeq, where);
}

QString Outbox::keepAside(qint64 from, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return QStringLiteral("no bytes are missing");
    const QString path = asidePath("damaged");
    SafeFile aside(path, 0600);
    if (aside.open() && aside.write(bytes) && aside.commit())
        return QStringLiteral("%1 bytes from byte %2 are kept in %3")
            .arg(bytes.size())
            .arg(from)
            .arg(path);
    return QStringLiteral("%1 bytes from byte %2 could not be kept: %3")
        .arg(bytes.size())
        .arg(from)
        .arg(aside.errorString());
}

bool Outbox::folderIntact() const
{
    if (!sameFile(m_lockFd, m_folder + QStringLiteral("/lock")))
        return false;
    for (const Segment &s : m_segments)
        if (!sameFile(s.fd, segmentPath(s.number)))
            return false;
    return true;
}

void Outbox::watchFolder()
{
    if (!isOpen() || folderIntact())
        return;
    const bool wasLost = m_folderLost;
    m_folderLost = !restoreFolder();
    if (!m_folderLost)
        say(QStringLiteral("The MQTT outbox %1 was deleted or replaced while the logger ran; it "
                           "is made again, and the %2 not yet delivered are written back to it.")
                .arg(m_folder, messages(pending())));
    else if (!wasLost)
        say(QStringLiteral("The MQTT outbox %1 was deleted or replaced while the logger ran and "
                           "cannot be made again (%2); its %3 are kept in memory until it can.")
                .arg(m_folder, m_error, messages(pending())));
}

bool Outbox::restoreFolder()
{
    if (!QDir().mkpath(m_folder)) {
        m_error = QStringLiteral("cannot make the folder");
        return false;
    }
    ::chmod(QFile::encodeName(m_folder).constData(), 0700);
    const QByteArray lockName = QFile::encodeName(m_folder + QStringLiteral("/lock"));
    const int lock = ::open(lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        m_error = lock < 0 ? FileIo::reason(errno)
                           : QStringLiteral("another logger with the same id took it");
        if (lock >= 0)
            ::close(lock);
        return false;
    }
    // Each segment written back byte for byte: every position stays what it was.
    for (Segment &s : m_segments) {
        const QString path = segmentPath(s.number);
        if (sameFile(s.fd, path))
            continue;
        if (QFile::exists(path))
            QFile::rename(path, asidePath("stray"));
        const QByteArray bytes = readRange(s.fd, 0, segmentEnd(s));
        const int fd = openSegment(path, O_CREAT | O_TRUNC);
        int e = fd < 0 ? errno : FileIo::writeAll(fd, bytes.constData(), bytes.size(), path);
        if (e == 0)
            e = FileIo::sync(fd, path);
        if (e != 0) {
            m_error = FileIo::reason(e);
            if (fd >= 0)
                ::close(fd);
            ::close(lock);
            return false;
        }
        if (m_writeFd == s.fd)
            m_writeFd = fd;
        ::close(std::exchange(s.fd, fd));
        if (m_bufferSegment == s.number)
            m_bufferSegment = 0;
    }
    const QByteArray ackName = QFile::encodeName(m_folder + QStringLiteral("/acked"));
    const int ack = ::open(ackName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (ack >= 0)
        ::close(std::exchange(m_ackFd, ack));
    ::close(std::exchange(m_lockFd, lock));
    m_folderLost = false;
    storeAcked();
    syncFolder(m_folder);
    return true;
}
