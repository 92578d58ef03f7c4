// The data file of a headless run: created, refused when it already holds something (unless
// the run is to replace it or go on after its last row), or locked for the packet written at
// the end.

#include "headless/Headless.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"
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

namespace Headless {

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

} // namespace Headless

using namespace Headless;

bool HeadlessRun::openOutput()
{
    const QString &path = m_options.Output;
    if (path.isEmpty())
        return true;
    auto refuse = [&](const QString &why) {
        warn(QStringLiteral("Cannot write %1: %2.").arg(path, why));
        finish(NotWritable);
        return false;
    };
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    const bool holdsSomething =
        ::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    const bool packet = !m_options.Csv && DataFiles::extensionOf(path) == QLatin1String(".xml");
    if (holdsSomething) {
        // Another run writing it is the first thing to say (each run holds a lock on its file).
        const int probe = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        const bool busy =
            probe >= 0 && ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (probe >= 0)
            ::close(probe);
        if (busy)
            return refuse(QStringLiteral("another run is writing it"));
    }
    if (holdsSomething && m_options.IfExists == Existing::Refuse)
        return refuse(QStringLiteral("it already exists (%1 bytes). --overwrite replaces it; "
                                     "--append goes on after its last row%2")
                          .arg(st.st_size)
                          .arg(packet ? QStringLiteral(" (text and CSV files only)") : QString()));
    if (packet) {
        if (holdsSomething && m_options.IfExists == Existing::Append)
            return refuse(QStringLiteral("an XML data packet is written whole at the end and "
                                         "cannot be appended to; --append is for text and CSV "
                                         "files"));
        // The packet is written whole when the run ends; whether it can be is known now. The
        // file is held under a lock meanwhile, so that no other run writes it too.
        m_createdXml = ::access(name.constData(), F_OK) != 0;
        m_xmlLock =
            ::open(name.constData(), O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (m_xmlLock < 0)
            return refuse(FileIo::reason(errno));
        if (::fstat(m_xmlLock, &st) != 0 || !S_ISREG(st.st_mode))
            return refuse(QStringLiteral("not a regular file"));
        if (::flock(m_xmlLock, LOCK_EX | LOCK_NB) != 0)
            return refuse(QStringLiteral("another run is writing it"));
        if (::access(name.constData(), W_OK) != 0)
            return refuse(FileIo::reason(errno));
        QTemporaryFile probe(QFileInfo(path).absolutePath() + QStringLiteral("/.tx9-probe-XXXXXX"));
        if (!probe.open())
            return refuse(probe.errorString());
        return true;
    }
    const QByteArray header =
        m_options.Csv ? DataFiles::csvHeader() : DataFiles::textFileHeader(QDate::currentDate());
    m_file = new RowFile(false, this, 0666);
    m_file->setExclusive(true);
    if (m_options.Csv)
        m_file->setLines(RowFile::Lines::Csv);
    if (holdsSomething && m_options.IfExists == Existing::Append)
        return appendTo(header);
    if (!m_file->create(path, header, false)) {
        const int error = m_file->error();
        if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO) {
            outputFailed(error);
            finish(WriteFailed);
            return false;
        }
        return refuse(m_file->errorString());
    }
    connect(m_file, &RowFile::failed, this, &HeadlessRun::outputFailed);
    return true;
}

bool HeadlessRun::appendTo(const QByteArray &header)
{
    const QString &path = m_options.Output;
    auto refuse = [&](const QString &why) {
        warn(QStringLiteral("Cannot append to %1: %2.").arg(path, why));
        finish(NotWritable);
        return false;
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
    connect(m_file, &RowFile::failed, this, &HeadlessRun::outputFailed);
    if (at.TornBytes > 0)
        warn(QStringLiteral("The last line of %1 was not whole (%2 bytes, left by a run that "
                            "was killed); it is cut off.")
                 .arg(path)
                 .arg(at.TornBytes));
    // The rows go on numbering after the file's last one.
    m_state.NextRecordNo = qint32(qMin<qint64>(at.LastNo + 1, std::numeric_limits<qint32>::max()));
    say(QStringLiteral("Appending to %1 after its reading No %2.").arg(path).arg(at.LastNo));
    return true;
}
