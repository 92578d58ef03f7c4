#include "session/Journal.h"

#include "output/DataFiles.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

// Writes all of bytes to fd; 0 on success, else the error (ENOSPC for a write of nothing).
int writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    return 0;
}

// The part of a journal made of whole lines: a kill in the middle of a write leaves a torn
// last line, which is not a row.
QByteArray wholeLines(const QByteArray &bytes)
{
    return bytes.left(bytes.lastIndexOf('\n') + 1);
}

} // namespace

QString Journal::defaultFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/tx9-logger");
}

Journal::Journal(const QString &folder, QObject *parent) : QObject(parent), m_folder(folder)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(1000);
    connect(&m_flushTimer, &QTimer::timeout, this, &Journal::flush);
    QDir().mkpath(m_folder);
    // The first free slot. The kernel drops a process's flock when it ends, however it ends,
    // so a crashed instance's slot is free again and its journal waits there.
    for (int slot = 1; slot <= MaxSlots && m_lockFd < 0; ++slot) {
        const QString suffix = slot == 1 ? QString() : QStringLiteral("-%1").arg(slot);
        const QString lock = m_folder + QStringLiteral("/journal%1.lock").arg(suffix);
        const int fd = ::open(nativePath(lock).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        m_lockFd = fd;
        m_path = m_folder + QStringLiteral("/journal%1.txt").arg(suffix);
    }
    if (m_lockFd < 0)
        return; // every slot is in use: this instance keeps no journal
    if (const auto bytes = DataFiles::readRegularFile(m_path)) {
        const qint64 lines = wholeLines(*bytes).count('\n');
        m_orphanRows = qMax<qint64>(0, lines - 3);
    }
    m_orphanPending = m_orphanRows > 0;
}

Journal::~Journal()
{
    flush();
    closeFile();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void Journal::attach(MeasurementTable *table)
{
    m_table = table;
    if (owner() && !m_orphanPending)
        startFrom(table);
    connect(table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { rowsAppended(first, last); });
    connect(table, &QAbstractItemModel::modelReset, this, [this] {
        if (!m_orphanPending)
            startFrom(nullptr); // the table was emptied: so is the journal
    });
}

bool Journal::readOrphan(MeasurementTable &into) const
{
    const auto bytes = DataFiles::readRegularFile(m_path);
    return bytes &&
           DataFiles::loadBytes(wholeLines(*bytes), false, into) == DataFiles::LoadStatus::Ok;
}

void Journal::restoreOrphan()
{
    m_orphanPending = false;
    m_orphanRows = 0;
    startFrom(m_table);
}

QString Journal::setOrphanAside()
{
    const QString aside =
        m_folder +
        QStringLiteral("/unsaved-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss")));
    QFile::remove(aside);
    QFile::rename(m_path, aside);
    m_orphanPending = false;
    m_orphanRows = 0;
    startFrom(m_table);
    return aside;
}

void Journal::rowsAppended(qint64 first, qint64 last)
{
    if (m_orphanPending || m_fd < 0 || !m_table)
        return;
    DataFiles::appendTextRows(m_buffer, *m_table, first, last);
    // A large load goes out in pieces, so the buffer stays small.
    if (m_buffer.size() >= (1 << 20))
        flush();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void Journal::startFrom(const MeasurementTable *table)
{
    m_flushTimer.stop();
    m_buffer.clear();
    closeFile();
    QByteArray bytes = DataFiles::textFileHeader(QDate::currentDate());
    if (table && table->count() > 0)
        DataFiles::appendTextRows(bytes, *table, 0, table->count() - 1);
    if (table && table->count() > 0) {
        // The rows may exist nowhere else on disk: the new journal replaces the old one
        // only once it is complete.
        const QString fresh = m_path + QStringLiteral(".new");
        const int fd =
            ::open(nativePath(fresh).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int error = fd >= 0 ? writeAll(fd, bytes) : errno;
        if (error == 0 && ::fdatasync(fd) != 0)
            error = errno;
        const bool ok = error == 0;
        if (fd >= 0)
            ::close(fd);
        if (!ok || ::rename(nativePath(fresh).constData(), nativePath(m_path).constData()) != 0) {
            ::unlink(nativePath(fresh).constData());
            fail(ok ? errno : error);
            return;
        }
        m_fd = ::open(nativePath(m_path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        m_goodSize = bytes.size();
        if (m_fd < 0)
            fail(errno);
        return;
    }
    // Nothing to keep: the journal starts again in place.
    m_fd = ::open(nativePath(m_path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    m_goodSize = 0;
    if (m_fd < 0) {
        fail(errno);
        return;
    }
    if (writeOut(bytes) && ::fdatasync(m_fd) != 0)
        fail(errno);
}

bool Journal::writeOut(const QByteArray &bytes)
{
    if (const int error = writeAll(m_fd, bytes)) {
        // No torn line stays behind to be read as a row, or to glue onto the next one.
        const bool cut = ::ftruncate(m_fd, m_goodSize) == 0;
        Q_UNUSED(cut); // nothing more can be done about a file that cannot be cut either
        fail(error);
        return false;
    }
    m_goodSize += bytes.size();
    return true;
}

void Journal::flush()
{
    m_flushTimer.stop();
    if (m_fd < 0 || m_buffer.isEmpty())
        return;
    const QByteArray bytes = std::exchange(m_buffer, {});
    if (writeOut(bytes) && ::fdatasync(m_fd) != 0)
        fail(errno);
}

void Journal::fail(int error)
{
    if (m_failureReported)
        return;
    m_failureReported = true;
    emit writeFailed(QStringLiteral("Could not write the recovery journal %1: %2. Readings are "
                                    "still recorded on screen; save them before you close the "
                                    "program.")
                         .arg(m_path, QString::fromLocal8Bit(std::strerror(error))));
}

void Journal::closeNormally()
{
    flush();
    closeFile();
    if (m_lockFd < 0 || m_orphanPending)
        return;
    const QString last = m_folder + QStringLiteral("/last-session.txt");
    ::rename(nativePath(m_path).constData(), nativePath(last).constData());
    m_table = nullptr; // the window's last rows, if any, are not a new session
}

void Journal::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
