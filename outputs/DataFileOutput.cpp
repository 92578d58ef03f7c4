#include "outputs/DataFileOutput.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "outputs/AuditTrail.h"
#include "proof/GrowingSeal.h"
#include "proof/Signer.h"
#include "proof/Trail.h"
#include "proof/Verify.h"
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

const SigningKey *DataFileOutput::signingKey()
{
    QString why;
    const SigningKey *key = Signer::key(&why);
    if (!key)
        sayUnsigned(why);
    return key;
}

void DataFileOutput::sayUnsigned(const QString &why)
{
    if (!std::exchange(m_unsignedSaid, true))
        emit said(QStringLiteral("%1 is written without its signature and seal: %2.")
                      .arg(m_options.Path, why),
                  true);
}

void DataFileOutput::follow(AuditTrail &trail)
{
    m_trail = &trail;
    if (m_seal)
        for (const AuditEntry &e : trail.entries())
            m_seal->addEntry(e);
    connect(&trail, &AuditTrail::recorded, this, [this](const AuditEntry &e) {
        if (m_seal)
            m_seal->addEntry(e);
    });
    // What opening the file found, in the session's trail (and so in the file's).
    for (const OpenEntry &e : std::exchange(m_openEntries, {}))
        trail.record(e.What, e.Old, e.New);
    signNow();
}

void DataFileOutput::wroteOut(const QByteArray &bytes, qint64 rows)
{
    if (!m_seal)
        return;
    m_seal->addBytes(bytes);
    const MeasurementTable &table = m_session.table();
    for (qint64 i = 0; i < rows; ++i)
        m_seal->addRow(table, m_nextRow++);
    signNow();
}

void DataFileOutput::signNow()
{
    QString why;
    if (!m_seal || !m_seal->started())
        return;
    if (m_seal->sync(&why)) {
        if (std::exchange(m_signFailing, false)) {
            emit said(QStringLiteral("%1 is signed again.").arg(m_options.Path), false);
            emit signableChanged(true, QString());
        }
        emit sealed(m_seal->seal().text());
    } else if (!std::exchange(m_signFailing, true)) {
        // The data file itself is never held back by its signature; said once until it mends.
        emit said(QStringLiteral("Could not sign %1: %2; it is signed again as soon as it "
                                 "can be.")
                      .arg(m_options.Path, why),
                  true);
        emit signableChanged(false, why);
    }
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
    // Synced at each write-out, so that what the signature vouches for is on the disk.
    m_file = new RowFile(true, this, 0666);
    m_file->setExclusive(true);
    if (m_options.Csv)
        m_file->setLines(RowFile::Lines::Csv);
    connect(m_file, &RowFile::wroteOut, this, &DataFileOutput::wroteOut);
    m_nextRow = m_session.table().count();
    if (holdsSomething && m_options.IfExists == Existing::Append) {
        if (const Opened o = appendTo(header, why); o != Opened::Ok)
            return o;
    } else {
        // The signature's hash follows the bytes from the header on; the trail is begun once
        // the file is this run's.
        if (const SigningKey *key = signingKey())
            m_seal = std::make_unique<GrowingSeal>(path, *key);
        if (!m_file->create(path, header, false)) {
            m_seal.reset();
            const int error = m_file->error();
            if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO) {
                *why = FileIo::reason(error);
                return Opened::Failed;
            }
            return refuse(why, m_file->errorString());
        }
        QString trailWhy;
        if (m_seal && !m_seal->start(&trailWhy)) {
            m_seal.reset();
            sayUnsigned(trailWhy);
        }
        signNow();
    }
    connect(m_file, &RowFile::failed, this,
            [this](int error) { emit failed(FileIo::reason(error)); });
    connect(m_file, &RowFile::writableChanged, this, [this](bool writable, int error) {
        emit writableChanged(writable, writable ? QString() : FileIo::reason(error));
    });
    const MeasurementTable *table = &m_session.table();
    connect(&m_session.engine(), &LoggerEngine::rowStored, this, [this, table](qint64 row) {
        if (m_seal)
            m_seal->expectRow();
        m_file->appendRows(*table, row, row);
    });
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
    // A file changed since it was signed is not gone on with: what this run adds would be
    // signed along with the change. Rows written after the last seal by a run that was
    // killed are no change; they are sealed now, and the trail says so.
    Verify::Options check;
    check.UpTo = at.WholeEnd;
    Verify::Detail detail;
    const Verify::Result verdict = Verify::file(path, check, &detail);
    // A trail is never cut or replaced: a file with a trail is checked against its seals,
    // its signature there or not; a signed file whose trail is gone is not gone on with (its
    // history would be gone with it).
    const bool signedFile = QFileInfo::exists(Trail::signatureOf(path));
    const bool trailed = QFileInfo::exists(Trail::trailOf(path));
    if (!detail.Rows)
        return refuse(verdict.Sentence.section(QStringLiteral(": "), 1));
    const bool held = verdict.What == Verify::Outcome::Intact ||
                      verdict.What == Verify::Outcome::Unsigned || verdict.OnlyAfterSeal;
    if ((signedFile || trailed) && (!held || (signedFile && !trailed)))
        return refuse(QStringLiteral("it was changed since it was signed (%1; --verify says "
                                     "more)")
                          .arg(verdict.Sentence.section(QStringLiteral(": "), 1)));
    if (!m_file->resume(path, 0, at.WholeEnd))
        return refuse(m_file->errorString().isEmpty() ? QStringLiteral("it cannot be opened")
                                                      : m_file->errorString());
    if (const SigningKey *key = signingKey()) {
        m_seal = std::make_unique<GrowingSeal>(path, *key);
        QString sealWhy;
        if (!m_seal->resume(at.WholeEnd, *detail.Rows, trailed ? detail.Trail : Trail::Contents(),
                            detail.TrailEnd, &sealWhy)) {
            m_seal.reset();
            sayUnsigned(sealWhy);
        }
    }
    const qint64 rows = detail.Rows->count();
    if (!signedFile && !trailed)
        m_openEntries.push_back({QString::fromLatin1(Verify::UnsignedOrigin), path,
                                 QStringLiteral("%1 rows").arg(rows)});
    else if (!signedFile)
        m_openEntries.push_back({QStringLiteral("appended to a file whose signature was missing"),
                                 path,
                                 QStringLiteral("%1 rows, seal %2").arg(rows).arg(verdict.Seal)});
    else if (verdict.OnlyAfterSeal)
        m_openEntries.push_back(
            {QStringLiteral("rows after the last seal of a run that did not end cleanly"), path,
             QStringLiteral("%1 rows, %2 to %3")
                 .arg(verdict.AfterSeal)
                 .arg(detail.Rows->cellText(rows - verdict.AfterSeal, MeasurementTable::FieldNo),
                      detail.Rows->cellText(rows - 1, MeasurementTable::FieldNo))});
    else
        m_openEntries.push_back({QStringLiteral("appended to"), path,
                                 QStringLiteral("%1 rows, seal %2").arg(rows).arg(verdict.Seal)});
    if (at.TornBytes > 0) {
        emit said(QStringLiteral("The last line of %1 was not whole (%2 bytes, left by a run "
                                 "that was killed); it is cut off.")
                      .arg(path)
                      .arg(at.TornBytes),
                  true);
        m_openEntries.push_back({QStringLiteral("torn last line cut"), path,
                                 QStringLiteral("%1 bytes").arg(at.TornBytes)});
    }
    signNow();
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
        signNow();             // the entries made since the last write-out
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
    if (const SigningKey *key = signingKey()) {
        QString why;
        const std::optional<QString> seal =
            Trail::sealSaved(m_options.Path, table,
                             m_trail ? m_trail->entries() : std::vector<AuditEntry>(), *key, &why);
        if (seal)
            emit sealed(*seal);
        else
            emit said(QStringLiteral("Could not sign %1: %2.").arg(m_options.Path, why), true);
    }
    releaseLock(true);
    c.Rows = table.count();
    return c;
}
