#include "output/SafeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace FileFaults {

namespace {
// Guards the installed hook: saves run on worker threads.
std::mutex hookMutex;
Hook &hook()
{
    static Hook h;
    return h;
}
std::atomic<bool> installed{false};
} // namespace

void install(Hook h)
{
    const std::lock_guard lock(hookMutex);
    installed.store(bool(h), std::memory_order_release);
    hook() = std::move(h);
}

int inject(Step step, const QString &path)
{
    if (!installed.load(std::memory_order_acquire))
        return 0;
    const std::lock_guard lock(hookMutex);
    return hook() ? hook()(step, path) : 0;
}

} // namespace FileFaults

namespace FileIo {

using FileFaults::Step;

int writeAll(int fd, const char *data, qsizetype size, const QString &path, Step step)
{
    for (qsizetype done = 0; done < size;) {
        if (const int injected = FileFaults::inject(step, path))
            return injected;
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    return 0;
}

int sync(int fd, const QString &path)
{
    if (const int injected = FileFaults::inject(Step::Sync, path))
        return injected;
    return ::fdatasync(fd) == 0 ? 0 : errno;
}

int rename(const QString &from, const QString &to)
{
    if (const int injected = FileFaults::inject(Step::Rename, to))
        return injected;
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0
               ? 0
               : errno;
}

bool sameFile(const QString &a, const QString &b)
{
    struct stat sa = {}, sb = {};
    const bool hasA = ::stat(QFile::encodeName(a).constData(), &sa) == 0;
    const bool hasB = ::stat(QFile::encodeName(b).constData(), &sb) == 0;
    if (hasA || hasB)
        return hasA && hasB && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    const QFileInfo fa(QDir::cleanPath(QFileInfo(a).absoluteFilePath())),
        fb(QDir::cleanPath(QFileInfo(b).absoluteFilePath()));
    if (fa.fileName() != fb.fileName())
        return false;
    const QString da = fa.path(), db = fb.path();
    return da == db || (QFileInfo::exists(da) && sameFile(da, db));
}

QString holdsSomethingElse(const QString &path, const QByteArray &magic, const QString &kind)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || QFileInfo(path).size() == 0 || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(magic.size());
    if (head == magic)
        return {};
    return QStringLiteral("it already exists (%1 bytes) and is not a %2")
        .arg(file.size())
        .arg(kind);
}

QByteArray readAt(int fd, qint64 at, qint64 size)
{
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bytes.data() + got, size_t(size - got), at + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.truncate(qsizetype(got));
    return bytes;
}

qint64 lastByte(int fd, char c, qint64 floor, qint64 end)
{
    constexpr qint64 Block = 1 << 20;
    while (end > floor) {
        const qint64 from = qMax(floor, end - Block);
        const qint64 want = end - from;
        const QByteArray block = readAt(fd, from, want);
        if (block.size() != want)
            return -1;
        const void *hit = ::memrchr(block.constData(), c, size_t(want));
        if (hit)
            return from + (static_cast<const char *>(hit) - block.constData());
        end = from;
    }
    return -1;
}

QString stateFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/tx9-logger");
}

QString reason(int error)
{
    char buffer[256];
    // The GNU strerror_r returns its text, which need not be in buffer.
    return QString::fromLocal8Bit(::strerror_r(error, buffer, sizeof buffer));
}

} // namespace FileIo

namespace {
constexpr qsizetype BufferSize = 1 << 20;
}

SafeFile::SafeFile(const QString &path, int newFileMode) : m_path(path), m_newFileMode(newFileMode)
{}

SafeFile::~SafeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_temp.isEmpty())
        ::unlink(QFile::encodeName(m_temp).constData());
}

bool SafeFile::fail(int error)
{
    if (m_error == 0)
        m_error = error;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_temp.isEmpty())
        ::unlink(QFile::encodeName(m_temp).constData());
    m_temp.clear();
    return false;
}

bool SafeFile::open()
{
    // A link is followed: the file it names is the one replaced, the link stays.
    const QFileInfo info(m_path);
    m_target = info.isSymLink() ? info.symLinkTarget() : m_path;
    struct stat old = {};
    const bool exists = ::stat(QFile::encodeName(m_target).constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        m_notRegular = true;
        return fail(EINVAL);
    }
    if (const int injected = FileFaults::inject(FileFaults::Step::Open, m_path))
        return fail(injected);
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_temp = m_target + QStringLiteral(".%1.new").arg(QRandomGenerator::global()->generate(), 8,
                                                          16, QLatin1Char('0'));
        m_fd = ::open(QFile::encodeName(m_temp).constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, m_newFileMode);
        if (m_fd >= 0 || errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        const int error = errno;
        m_temp.clear();
        return fail(error);
    }
    // The copy takes the old file's permissions; a new file gets the umask's.
    if (exists) {
        [[maybe_unused]] const int ignored = ::fchmod(m_fd, old.st_mode & 07777);
    }
    m_buffer.reserve(BufferSize);
    return true;
}

bool SafeFile::writeOut(FileFaults::Step step)
{
    if (m_fd < 0)
        return false;
    if (const int error =
            FileIo::writeAll(m_fd, m_buffer.constData(), m_buffer.size(), m_path, step))
        return fail(error);
    m_buffer.clear();
    return true;
}

bool SafeFile::write(const char *data, qsizetype size)
{
    if (m_fd < 0)
        return false;
    m_buffer.append(data, size);
    return m_buffer.size() < BufferSize || writeOut(FileFaults::Step::Write);
}

bool SafeFile::commit()
{
    if (m_fd < 0 || !writeOut(FileFaults::Step::Flush))
        return false;
    if (const int error = FileIo::sync(m_fd, m_path))
        return fail(error);
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0)
        return fail(errno);
    if (const int error = FileIo::rename(m_temp, m_target))
        return fail(error);
    m_temp.clear();
    // The rename itself reaches the disk with the folder; a folder that cannot be synced
    // (some file systems refuse) leaves the file written all the same.
    const int dir = ::open(QFile::encodeName(QFileInfo(m_target).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        [[maybe_unused]] const int ignored = ::fsync(dir);
        ::close(dir);
    }
    return true;
}

QString SafeFile::errorString() const
{
    if (m_notRegular)
        return QStringLiteral("not a regular file");
    return m_error ? FileIo::reason(m_error) : QString();
}

bool SafeFileDevice::open(OpenMode mode)
{
    if ((mode & ReadOnly) || !m_file.open())
        return false;
    return QIODevice::open(mode);
}

qint64 SafeFileDevice::writeData(const char *data, qint64 size)
{
    return m_file.write(data, size) ? size : -1;
}

bool SafeFile::writeWhole(const QString &path, const QByteArray &bytes, QString *reason,
                          int newFileMode)
{
    SafeFile file(path, newFileMode);
    if (file.open() && file.write(bytes) && file.commit())
        return true;
    if (reason)
        *reason = file.errorString();
    return false;
}
