#pragma once
// File helpers shared by the outbox's two halves (running it, and reading back what is on
// disk); not for use elsewhere.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace OutboxFiles {

inline constexpr qint64 ReadChunk = 1 << 20;

inline QByteArray readRange(int fd, qint64 from, qint64 to)
{
    QByteArray bytes;
    bytes.resize(qMax<qint64>(0, to - from));
    qint64 got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, size_t(bytes.size() - got), from + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.resize(got);
    return bytes;
}

inline qint64 fileSize(int fd)
{
    struct stat st = {};
    return ::fstat(fd, &st) == 0 ? qint64(st.st_size) : 0;
}

inline int openSegment(const QString &path, int flags)
{
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CLOEXEC | flags, 0600);
}

inline void syncFolder(const QString &folder)
{
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

// Whether path names the file open as fd (not deleted, not replaced).
inline bool sameFile(int fd, const QString &path)
{
    struct stat held = {}, named = {};
    return ::fstat(fd, &held) == 0 && held.st_nlink > 0 &&
           ::stat(QFile::encodeName(path).constData(), &named) == 0 &&
           held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

inline QString messages(quint64 n)
{
    return n == 1 ? QStringLiteral("1 message") : QStringLiteral("%1 messages").arg(n);
}

} // namespace OutboxFiles
