#include "session/RowFile.h"

#include "output/DataFiles.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

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

} // namespace

RowFile::RowFile(bool sync, QObject *parent, int mode) : QObject(parent), m_sync(sync), m_mode(mode)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &RowFile::writeBuffered);
    m_sliceTimer.setInterval(0);
    connect(&m_sliceTimer, &QTimer::timeout, this, [this] { formatSlice(SliceRows); });
}

RowFile::~RowFile()
{
    flush();
    close();
}

bool RowFile::create(const QString &path, const QByteArray &bytes, bool viaTemporary)
{
    close();
    m_buffer.clear();
    m_table = nullptr;
    m_next = 0;
    m_last = -1;
    m_error = 0;
    const QByteArray target = QFile::encodeName(path);
    if (viaTemporary) {
        const QByteArray fresh = target + ".new";
        const int fd = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, m_mode);
        int error = fd >= 0 ? writeAll(fd, bytes) : errno;
        if (error == 0 && m_sync && ::fdatasync(fd) != 0)
            error = errno;
        if (fd >= 0)
            ::close(fd);
        if (error == 0 && ::rename(fresh.constData(), target.constData()) != 0)
            error = errno;
        if (error != 0) {
            ::unlink(fresh.constData());
            fail(error);
            return false;
        }
        m_fd = ::open(target.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        m_goodSize = bytes.size();
        if (m_fd < 0) {
            fail(errno);
            return false;
        }
        return true;
    }
    m_fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, m_mode);
    m_goodSize = 0;
    if (m_fd < 0) {
        fail(errno);
        return false;
    }
    if (!writeOut(bytes))
        return false;
    if (m_sync && ::fdatasync(m_fd) != 0) {
        fail(errno);
        return false;
    }
    return true;
}

void RowFile::appendRows(const MeasurementTable &table, qint64 first, qint64 last)
{
    if (m_fd < 0)
        return;
    if (m_table != &table || first != m_last + 1) {
        formatSlice(m_last - m_next + 1); // what waits of another table first
        m_table = &table;
        m_next = first;
    }
    m_last = last;
    if (m_last - m_next < SliceRows)
        formatSlice(SliceRows);
    else if (!m_sliceTimer.isActive())
        m_sliceTimer.start();
}

void RowFile::formatSlice(qint64 rows)
{
    const qint64 end = qMin(m_last, m_next + rows - 1);
    if (m_table && m_next <= end)
        DataFiles::appendTextRows(m_buffer, *m_table, m_next, end);
    m_next = end + 1;
    if (m_next > m_last || !m_table) {
        m_sliceTimer.stop();
        m_next = m_last + 1;
    }
    // A large load goes out in pieces, so the buffer stays small.
    if (m_buffer.size() >= (1 << 20))
        writeBuffered();
    else if (!m_buffer.isEmpty() && !m_timer.isActive())
        m_timer.start();
}

void RowFile::flush()
{
    formatSlice(m_last - m_next + 1);
    writeBuffered();
}

void RowFile::writeBuffered()
{
    m_timer.stop();
    if (m_fd < 0 || m_buffer.isEmpty())
        return;
    const QByteArray bytes = std::exchange(m_buffer, {});
    if (writeOut(bytes) && m_sync && ::fdatasync(m_fd) != 0)
        fail(errno);
}

bool RowFile::writeOut(const QByteArray &bytes)
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

void RowFile::fail(int error)
{
    if (m_error == 0) {
        m_error = error;
        emit failed(error);
    }
}

void RowFile::close()
{
    m_timer.stop();
    m_sliceTimer.stop();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
