#include "outputs/DataFileOutput.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"
#include "session/RowFile.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The number a row's line begins with (its No, before the separator), if any.
std::optional<qint64> rowNo(const char *line, qint64 size, char separator)
{
    const QByteArray text = QByteArray::fromRawData(line, qsizetype(qMin<qint64>(size, 24)));
    const qsizetype sep = text.indexOf(separator);
    if (sep < 0 && size > 24)
        return std::nullopt;
    bool number = false;
    const qint64 no = text.left(sep).trimmed().toLongLong(&number);
    return number ? std::optional<qint64>(no) : std::nullopt;
}

} // namespace

AppendPoint appendPoint(int fd, qint64 size, const QByteArray &header, bool csv)
{
    AppendPoint p;
    const QByteArray head = FileIo::readAt(fd, 0, header.size() + 64);
    if (!head.startsWith(header)) {
        // A text file of another day: its rows' times of day belong to its date line.
        const qsizetype line = header.indexOf('\n') + 1, fileLine = head.indexOf('\n') + 1;
        const QByteArray dateWords = header.left(header.indexOf(':') + 1);
        if (!csv && fileLine > 0 && head.startsWith(dateWords) &&
            head.mid(fileLine, header.size() - line) == header.mid(line))
            p.Why = QStringLiteral("its rows are of another day (its first line is \"%1\"), and "
                                   "times of day are read as that day's")
                        .arg(QString::fromLocal8Bit(head.left(fileLine).trimmed()));
        else
            p.Why = QStringLiteral("it does not begin with the header this run writes (%1)")
                        .arg(csv ? QString::fromUtf8(header.trimmed())
                                 : QStringLiteral("the text data file's"));
        return p;
    }
    const qint64 floor = header.size(); // where the first row begins
    p.WholeEnd = FileIo::lastByte(fd, '\n', floor - 1, size) + 1;
    if (p.WholeEnd < floor) {
        p.Why = QStringLiteral("it cannot be read to its end");
        return p;
    }
    p.TornBytes = size - p.WholeEnd;
    // The last row with a number, its lines walked backwards a block at a time (lines that
    // are no rows, as a note's, are passed over).
    const char separator = csv ? ',' : '\t';
    constexpr qint64 Block = 1 << 20;
    std::optional<qint64> last;
    for (qint64 end = p.WholeEnd; end > floor && !last;) {
        const qint64 from = qMax(floor, end - Block);
        const QByteArray block = FileIo::readAt(fd, from, end - from);
        if (block.size() != end - from) {
            p.Why = QStringLiteral("it cannot be read to its end");
            return p;
        }
        qint64 lineEnd = end - 1; // the '\n' that ends the line
        for (;;) {
            const void *nl = ::memrchr(block.constData(), '\n', size_t(lineEnd - from));
            if (!nl && from > floor)
                break; // the line begins in an earlier block
            const qint64 lineStart =
                nl ? from + (static_cast<const char *>(nl) - block.constData()) + 1 : floor;
            last = rowNo(block.constData() + (lineStart - from), lineEnd - lineStart, separator);
            if (last || lineStart == floor)
                break;
            lineEnd = lineStart - 1;
        }
        if (last)
            break;
        if (lineEnd == end - 1 && from > floor) {
            // One line longer than a block: only its first bytes can hold a number.
            const qint64 lineStart = FileIo::lastByte(fd, '\n', floor - 1, from) + 1;
            const QByteArray first = FileIo::readAt(fd, lineStart, 32);
            last = rowNo(first.constData(), lineEnd - lineStart, separator);
            end = lineStart;
            continue;
        }
        end = from > floor ? lineEnd + 1 : floor;
    }
    p.LastNo = last.value_or(0);
    if (last && *last < 1)
        p.Why = QStringLiteral("its last reading has the No %1, and numbers begin at 1").arg(*last);
    else if (p.LastNo >= std::numeric_limits<qint32>::max())
        p.Why = QStringLiteral("its last reading has the No %1, and the next would pass the "
                               "largest No there is (%2)")
                    .arg(p.LastNo)
                    .arg(std::numeric_limits<qint32>::max());
    else
        p.Ok = true;
    return p;
}

DataFileOutput::DataFileOutput(LoggerSession &session, const DataFileOptions &options,
                               QObject *parent)
    : QObject(parent), m_session(session), m_options(options),
      m_packet(!options.Csv && DataFiles::extensionOf(options.Path) == QLatin1String(".xml"))
{}

DataFileOutput::~DataFileOutput()
{
    releaseLock(false);
}

void DataFileOutput::releaseLock(bool written)
{
    if (m_lock < 0)
        return;
    ::close(std::exchange(m_lock, -1));
    // A packet never written: the empty file that held the lock goes.
    if (!written && m_createdXml)
        QFile::remove(m_options.Path);
}

DataFileOutput::Opened DataFileOutput::refuse(QString *why, const QString &text)
{
    *why = QStringLiteral("Cannot write %1: %2.").arg(m_options.Path, text);
    return Opened::Refused;
}

DataFileOutput::Opened DataFileOutput::open(QString *why)
{
    const QString &path = m_options.Path;
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    const bool holdsSomething =
        ::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    if (holdsSomething) {
        // Another run writing it is the first thing to say (each run holds a lock on its file).
        const int probe = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        const bool busy =
            probe >= 0 && ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (probe >= 0)
            ::close(probe);
        if (busy)
            return refuse(why, QStringLiteral("another run is writing it"));
    }
    if (holdsSomething && m_options.IfExists == Existing::Refuse)
        return refuse(
            why, QStringLiteral("it already exists (%1 bytes). --overwrite replaces it; "
                                "--append goes on after its last row%2")
                     .arg(st.st_size)
                     .arg(m_packet ? QStringLiteral(" (text and CSV files only)") : QString()));
    if (m_packet) {
        if (holdsSomething && m_options.IfExists == Existing::Append)
            return refuse(why, QStringLiteral("an XML data packet is written whole at the end and "
                                              "cannot be appended to; --append is for text and "
                                              "CSV files"));
        // The packet is written whole when the run ends; whether it can be is known now. The
        // file is held under a lock meanwhile, so that no other run writes it too.
        m_createdXml = ::access(name.constData(), F_OK) != 0;
        m_lock =
            ::open(name.constData(), O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (m_lock < 0)
            return refuse(why, FileIo::reason(errno));
        if (::fstat(m_lock, &st) != 0 || !S_ISREG(st.st_mode))
            return refuse(why, QStringLiteral("not a regular file"));
        if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0)
            return refuse(why, QStringLiteral("another run is writing it"));
        if (::access(name.constData(), W_OK) != 0)
            return refuse(why, FileIo::reason(errno));
        QTemporaryFile probe(QFileInfo(path).absolutePath() + QStringLiteral("/.tx9-probe-XXXXXX"));
        if (!probe.open())
            return refuse(why, probe.errorString());
        return Opened::Ok;
    }
    const QByteArray header =
        m_options.Csv ? DataFiles::csvHeader() : DataFiles::textFileHeader(QDate::currentDate());
    m_file = new RowFile(false, this, 0666);
    m_file->setExclusive(true);
    if (m_options.Csv)
        m_file->setLines(RowFile::Lines::Csv);
    if (holdsSomething && m_options.IfExists == Existing::Append) {
        if (const Opened o = appendTo(header, why); o != Opened::Ok)
            return o;
    } else if (!m_file->create(path, header, false)) {
        const int error = m_file->error();
        if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO) {
            *why = FileIo::reason(error);
            return Opened::Failed;
        }
        return refuse(why, m_file->errorString());
    }
    connect(m_file, &RowFile::failed, this,
            [this](int error) { emit failed(FileIo::reason(error)); });
    const MeasurementTable *table = &m_session.table();
    connect(&m_session.engine(), &LoggerEngine::rowStored, this,
            [this, table](qint64 row) { m_file->appendRows(*table, row, row); });
    return Opened::Ok;
}

DataFileOutput::Opened DataFileOutput::appendTo(const QByteArray &header, QString *why)
{
    const QString &path = m_options.Path;
    auto refuse = [&](const QString &text) {
        *why = QStringLiteral("Cannot append to %1: %2.").arg(path, text);
        return Opened::Refused;
    };
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        return refuse(FileIo::reason(error));
    }
    const AppendPoint at = appendPoint(fd, st.st_size, header, m_options.Csv);
    ::close(fd);
    if (!at.Ok)
        return refuse(at.Why);
    if (!m_file->resume(path, 0, at.WholeEnd))
        return refuse(m_file->errorString().isEmpty() ? QStringLiteral("it cannot be opened")
                                                      : m_file->errorString());
    if (at.TornBytes > 0)
        emit said(QStringLiteral("The last line of %1 was not whole (%2 bytes, left by a run "
                                 "that was killed); it is cut off.")
                      .arg(path)
                      .arg(at.TornBytes),
                  true);
    // The rows go on numbering after the file's last one.
    m_session.state().NextRecordNo = qint32(at.LastNo + 1);
    emit said(QStringLiteral("Appending to %1 after its reading No %2.").arg(path).arg(at.LastNo),
              false);
    return Opened::Ok;
}

DataFileOutput::Closed DataFileOutput::close()
{
    Closed c;
    if (std::exchange(m_closed, true))
        return c;
    const MeasurementTable &table = m_session.table();
    if (m_file) {
        m_file->flushToDisk(); // a failure is said through failed
        m_file->close();
        c.Failed = m_file->error() != 0;
        c.Rows = m_file->rowsWritten();
        return c;
    }
    if (!m_packet || m_lock < 0)
        return c;
    if (!DataFiles::saveTable(table, m_options.Path, QDate::currentDate(), nullptr, &c.Unsaid)) {
        c.Failed = true;
        releaseLock(false);
        return c;
    }
    releaseLock(true);
    c.Rows = table.count();
    return c;
}
