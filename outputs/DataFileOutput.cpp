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
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

AppendPoint appendPoint(const QByteArray &head, const QByteArray &tail, qint64 size,
                        const QByteArray &header, bool csv)
{
    AppendPoint p;
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
    // tail: the file's last bytes, from offset size - tail.size().
    const qint64 tailStart = size - tail.size();
    const qsizetype lastBreak = tail.lastIndexOf('\n');
    const qint64 wholeEnd = lastBreak < 0 ? tailStart : tailStart + lastBreak + 1;
    if (wholeEnd < header.size()) {
        p.Why = QStringLiteral("its header is not whole");
        return p;
    }
    p.TornBytes = size - wholeEnd;
    p.Ok = true;
    // The last row with a number, looked for in the tail (a row is short).
    qsizetype end = lastBreak;
    while (end > 0 && tailStart + end >= header.size()) {
        const qsizetype begin = tail.lastIndexOf('\n', end - 1) + 1;
        if (tailStart + begin < header.size())
            break;
        const QByteArray line = tail.mid(begin, end - begin);
        const qsizetype sep = line.indexOf(csv ? ',' : '\t');
        bool number = false;
        const qint64 no = line.left(sep).trimmed().toLongLong(&number);
        if (number) {
            p.LastNo = no;
            return p;
        }
        end = begin - 1;
    }
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString());
    const qint64 size = file.size();
    const QByteArray head = file.read(header.size() + 64);
    constexpr qint64 TailBytes = 64 * 1024;
    const qint64 tailStart = qMax<qint64>(0, size - TailBytes);
    if (!file.seek(tailStart))
        return refuse(file.errorString());
    const QByteArray tail = file.read(size - tailStart);
    if (tail.size() != size - tailStart)
        return refuse(file.errorString());
    file.close();
    const AppendPoint at = appendPoint(head, tail, size, header, m_options.Csv);
    if (!at.Ok)
        return refuse(at.Why);
    if (!m_file->resume(path, 0))
        return refuse(m_file->errorString().isEmpty() ? QStringLiteral("it cannot be opened")
                                                      : m_file->errorString());
    if (at.TornBytes > 0)
        emit said(QStringLiteral("The last line of %1 was not whole (%2 bytes, left by a run "
                                 "that was killed); it is cut off.")
                      .arg(path)
                      .arg(at.TornBytes),
                  true);
    // The rows go on numbering after the file's last one.
    m_session.state().NextRecordNo =
        qint32(qMin<qint64>(at.LastNo + 1, std::numeric_limits<qint32>::max()));
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
