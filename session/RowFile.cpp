#include "session/RowFile.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

void RowFile::startAnew(const QString &path)
{
    close();
    m_path = path;
    m_buffer.clear();
    m_bufferRows = 0;
    m_rowsWritten = 0;
    m_table = nullptr;
    m_next = 0;
    m_last = -1;
    m_error = 0;
    m_refusal.clear();
}

bool RowFile::create(const QString &path, const QByteArray &bytes, bool viaTemporary, qint64 rows)
{
    startAnew(path);
    const QByteArray target = QFile::encodeName(path);
    struct stat st = {};
    if (::stat(target.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return refuse(EINVAL, QStringLiteral("not a regular file"));
    if (viaTemporary) {
        SafeFile fresh(path, m_mode);
        if (!fresh.open() || !fresh.write(bytes) || !fresh.commit()) {
            fail(fresh.error());
            return false;
        }
        m_fd = ::open(target.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        m_goodSize = bytes.size();
        if (m_fd < 0) {
            fail(errno);
            return false;
        }
        m_rowsWritten = rows;
        return true;
    }
    // Not truncated before it is known to be a regular file that no other run writes: a FIFO
    // would block the open until a reader came, and a device would be overwritten.
    m_fd =
        ::open(target.constData(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, m_mode);
    if (m_fd < 0)
        return refuse(errno, FileIo::reason(errno));
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))
        return refuse(EINVAL, QStringLiteral("not a regular file"));
    if (m_exclusive && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(EWOULDBLOCK, errno == EWOULDBLOCK
                                       ? QStringLiteral("another run is writing it")
                                       : FileIo::reason(errno));
    if (::ftruncate(m_fd, 0) != 0)
        return refuse(errno, FileIo::reason(errno));
    m_goodSize = 0;
    // The first bytes are kept until they are written: rows that come once the disk has room
    // again never go out without the header before them.
    m_buffer = bytes;
    m_bufferRows = rows;
    writeBuffered();
    return m_error == 0;
}

bool RowFile::resume(const QString &path, qint64 rows, qint64 wholeEnd)
{
    startAnew(path);
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    struct stat st = {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        return false;
    }
    if (m_exclusive && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(EWOULDBLOCK, errno == EWOULDBLOCK
                                       ? QStringLiteral("another run is writing it")
                                       : FileIo::reason(errno));
    // The end of the last whole line: what a kill left after it is no row.
    const qint64 end = wholeEnd >= 0 && wholeEnd <= st.st_size
                           ? wholeEnd
                           : FileIo::lastByte(m_fd, '\n', 0, st.st_size) + 1;
    if (::ftruncate(m_fd, end) != 0 || ::lseek(m_fd, 0, SEEK_END) < 0) {
        close();
        return false;
    }
    m_goodSize = end;
    m_rowsWritten = rows;
    return true;
}

bool RowFile::refuse(int error, const QString &why)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_refusal = why;
    fail(error);
    return false;
}

QString RowFile::errorString() const
{
    if (!m_refusal.isEmpty())
        return m_refusal;
    return m_error ? FileIo::reason(m_error) : QString();
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

void RowFile::appendLine(const QByteArray &line)
{
    if (m_fd < 0)
        return;
    formatSlice(m_last - m_next + 1); // the rows before it first
    m_buffer.append(line);
    if (!m_timer.isActive())
        m_timer.start();
}

void RowFile::formatSlice(qint64 rows)
{
    const qint64 end = qMin(m_last, m_next + rows - 1);
    if (m_table && m_next <= end) {
        if (m_lines == Lines::Csv)
            DataFiles::appendCsvRows(m_buffer, *m_table, m_next, end);
        else
            DataFiles::appendTextRows(m_buffer, *m_table, m_next, end,
                                      m_lines == Lines::TextWithCapture);
        m_bufferRows += end - m_next + 1;
    }
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

bool RowFile::flushToDisk()
{
    flush();
    if (m_fd < 0 || m_error != 0)
        return m_error == 0 && m_fd >= 0;
    if (const int error = FileIo::sync(m_fd, m_path)) {
        fail(error);
        return false;
    }
    return m_buffer.isEmpty();
}

void RowFile::writeBuffered()
{
    m_timer.stop();
    if (m_fd < 0 || m_buffer.isEmpty())
        return;
    // What fails stays waiting and goes out with the next write-out: the disk may have room
    // by then, and the file never misses a line in the middle.
    if (!writeOut(m_buffer))
        return;
    const qint64 rows = std::exchange(m_bufferRows, 0);
    m_rowsWritten += rows;
    const QByteArray written = std::exchange(m_buffer, QByteArray());
    int error = 0;
    if (m_sync)
        if ((error = FileIo::sync(m_fd, m_path)))
            fail(error);
    setWritable(error == 0, error);
    emit wroteOut(written, rows);
}

void RowFile::setWritable(bool writable, int error)
{
    if (std::exchange(m_unwritable, !writable) != !writable)
        emit writableChanged(writable, error);
}

bool RowFile::writeOut(const QByteArray &bytes)
{
    if (const int error = FileIo::writeAll(m_fd, bytes.constData(), bytes.size(), m_path)) {
        // No torn line stays behind to be read as a row, or to glue onto the next one.
        const bool cut = ::ftruncate(m_fd, m_goodSize) == 0;
        Q_UNUSED(cut); // nothing more can be done about a file that cannot be cut either
        fail(error);
        setWritable(false, error);
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
