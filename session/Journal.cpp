#include "session/Journal.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "recording/CaptureTime.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace {

const QByteArray Header = QByteArrayLiteral("Report created on: ");

// The first bytes of a regular file (at most n); empty for anything else.
QByteArray head(const QString &path, qsizetype n)
{
    const int fd = DataFiles::openRegularFile(path);
    if (fd < 0)
        return {};
    QByteArray bytes(n, Qt::Uninitialized);
    qsizetype have = 0;
    while (have < n) {
        const ssize_t got = ::read(fd, bytes.data() + have, size_t(n - have));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        have += got;
    }
    ::close(fd);
    bytes.truncate(have);
    return bytes;
}

// Whether a journal holds anything to decide on: something that is not our header, or a
// line after the header's three. Only the file's beginning is looked at, so a huge file of
// anything costs nothing here.
bool worthDeciding(const QString &path)
{
    const QByteArray start = head(path, 64 * 1024);
    if (start.isEmpty())
        return false;
    if (!start.startsWith(Header.left(qMin(Header.size(), start.size()))))
        return true;
    qsizetype at = 0;
    for (int line = 0; line < 3; ++line) {
        at = start.indexOf('\n', at);
        if (at < 0)
            return false;
        ++at;
    }
    return at < start.size();
}

QString slotSuffix(int slot)
{
    return slot == 1 ? QString() : QStringLiteral("-%1").arg(slot);
}

// Renames without ever replacing: false when to exists.
int renameNew(const QString &from, const QString &to)
{
    const QByteArray f = QFile::encodeName(from), t = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a hard link cannot replace either.
    if (::link(f.constData(), t.constData()) != 0)
        return errno;
    ::unlink(f.constData());
    return 0;
}

} // namespace

QString Journal::defaultFolder()
{
    return FileIo::stateFolder();
}

Journal::Journal(const QString &folder, QObject *parent) : QObject(parent), m_folder(folder)
{
    // Each line keeps its row's full capture time, so a restored recording keeps its dates.
    m_file.setLines(RowFile::Lines::TextWithCapture);
    connect(&m_file, &RowFile::failed, this, &Journal::fail);
    connect(&m_file, &RowFile::writableChanged, this, [this](bool writable, int error) {
        emit writableChanged(writable, m_path, writable ? QString() : FileIo::reason(error));
    });
    if (!QDir().mkpath(m_folder)) {
        m_unavailable = QStringLiteral("the folder %1 cannot be created").arg(m_folder);
        return;
    }
    // The first free slot. The kernel drops a process's flock when it ends, however it ends,
    // so a crashed instance's slot is free again and its journal waits there.
    int openError = 0;
    int mine = 0;
    for (int slot = 1; slot <= MaxSlots && m_lockFd < 0; ++slot) {
        const QString lock = m_folder + QStringLiteral("/journal%1.lock").arg(slotSuffix(slot));
        const int fd =
            ::open(QFile::encodeName(lock).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            openError = errno;
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        m_lockFd = fd;
        mine = slot;
        m_path = m_folder + QStringLiteral("/journal%1.txt").arg(slotSuffix(slot));
    }
    if (m_lockFd < 0) {
        m_unavailable = openError
                            ? QStringLiteral("%1 cannot be written: %2")
                                  .arg(m_folder, FileIo::reason(openError))
                            : QStringLiteral("every journal slot in %1 is in use").arg(m_folder);
        return;
    }
    if (worthDeciding(m_path))
        m_orphans.append({m_path, -1});
    // Journals that ended processes left in other slots: held while they are decided on, so
    // that an instance starting meanwhile does not take them as its own.
    for (int slot = 1; slot <= MaxSlots; ++slot) {
        const QString journal = m_folder + QStringLiteral("/journal%1.txt").arg(slotSuffix(slot));
        if (slot == mine || !QFile::exists(journal))
            continue;
        const QString lock = m_folder + QStringLiteral("/journal%1.lock").arg(slotSuffix(slot));
        const int fd =
            ::open(QFile::encodeName(lock).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && worthDeciding(journal))
            m_orphans.append({journal, fd});
        else
            ::close(fd);
    }
}

Journal::~Journal()
{
    m_file.flush();
    m_file.close();
    for (const Orphan &o : std::as_const(m_orphans) + m_restoredElsewhere)
        if (o.lockFd >= 0)
            ::close(o.lockFd);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void Journal::attach(MeasurementTable *table)
{
    m_table = table;
    if (owner() && !hasOrphan())
        startFrom(table);
    connect(table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { rowsAppended(first, last); });
    connect(table, &QAbstractItemModel::modelReset, this, [this] {
        if (!hasOrphan())
            startFrom(nullptr); // the table was emptied: so is the journal
    });
}

Journal::Contents Journal::read(const QString &path, MeasurementTable &into,
                                std::atomic<qint64> *bytesDone)
{
    Contents c;
    c.Journal = head(path, Header.size()) == Header;
    if (!c.Journal)
        return c;
    const qint64 before = into.count();
    DataFiles::loadJournal(path, into, &c.Unreadable, bytesDone, nullptr, &c.Marks);
    c.Rows = into.count() - before;
    return c;
}

qint64 Journal::orphanRows() const
{
    if (!hasOrphan())
        return 0;
    MeasurementTable rows;
    return read(orphanPath(), rows).Rows;
}

bool Journal::readOrphan(MeasurementTable &into) const
{
    if (!hasOrphan())
        return false;
    const Contents c = read(orphanPath(), into);
    return c.Journal && c.Unreadable == 0;
}

QString Journal::restoreOrphan(bool keepOriginal, bool tableIsOrphan)
{
    if (!hasOrphan())
        return {};
    Orphan o = m_orphans.takeFirst();
    m_resume = tableIsOrphan && !keepOriginal && o.lockFd < 0 && m_orphans.isEmpty();
    QString aside;
    if (keepOriginal) {
        aside = moveAside(o.path);
        if (o.lockFd >= 0)
            ::close(o.lockFd);
    } else if (o.lockFd >= 0) {
        m_restoredElsewhere.append(o); // removed once our journal holds its rows
    }
    decided();
    return aside;
}

QString Journal::setOrphanAside()
{
    if (!hasOrphan())
        return {};
    const Orphan o = m_orphans.takeFirst();
    const QString aside = moveAside(o.path);
    if (o.lockFd >= 0)
        ::close(o.lockFd);
    if (aside.isEmpty() && o.lockFd < 0) {
        // The orphan is still where a new journal would be written: no journal rather than
        // one written over rows that exist nowhere else.
        ::close(std::exchange(m_lockFd, -1));
        m_unavailable = QStringLiteral("%1 could not be moved aside").arg(o.path);
    }
    decided();
    return aside;
}

QString Journal::moveAside(const QString &path)
{
    const QString base = m_folder + QStringLiteral("/unsaved-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    for (int n = 1; n < 10000; ++n) {
        const QString aside =
            base + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) + QStringLiteral(".txt");
        const int error = renameNew(path, aside);
        if (error == 0)
            return aside;
        if (error != EEXIST)
            return {};
    }
    return {};
}

void Journal::decided()
{
    if (!hasOrphan() && m_table && owner())
        startFrom(m_table);
}

void Journal::mark(const QByteArray &word, const QDateTime &when, const QString &cable)
{
    if (hasOrphan() || !m_table || !owner())
        return;
    m_file.appendLine(DataFiles::markLine(word, MeasurementTable::packTime(when), cable));
}

QByteArray Journal::savedLine(qint64 rows, bool notes, const QString &path, const QDateTime &when)
{
    QByteArray file = path.toUtf8();
    file.replace('\t', ' ').replace('\r', ' ').replace('\n', ' ');
    return "#break\tsaved\t" + CaptureTime::text(MeasurementTable::packTime(when)) + '\t' +
           QByteArray::number(rows) + '\t' + (notes ? '1' : '0') + '\t' + file + "\r\n";
}

Journal::Unsaved Journal::unsaved(const Contents &contents)
{
    Unsaved u;
    u.Rows = contents.Rows;
    std::set<QByteArray> notes; // ids of notes touched since their last save
    for (const DataFiles::Mark &m : contents.Marks) {
        const QList<QByteArray> f = m.Rest.split('\t');
        if (m.Word == "saved") {
            bool ok = false;
            const qint64 rows = f.value(1).toLongLong(&ok);
            if (!ok || rows < 0 || rows > contents.Rows)
                continue; // a damaged mark proves nothing
            u.Rows = contents.Rows - rows;
            u.SavedTo = QString::fromUtf8(f.value(3));
            if (f.value(2) == "1")
                notes.clear();
        } else if (m.Word == "note" || m.Word == "note-removed") {
            notes.insert(f.value(0));
        }
    }
    u.Notes = qint64(notes.size());
    return u;
}

void Journal::writeMark(const QByteArray &line)
{
    if (hasOrphan() || !m_table || !owner())
        return;
    m_file.appendLine(line);
}

void Journal::rowsAppended(qint64 first, qint64 last)
{
    if (hasOrphan() || !m_table || !owner())
        return;
    m_file.appendRows(*m_table, first, last);
}

void Journal::startFrom(const MeasurementTable *table)
{
    if (std::exchange(m_resume, false) && table && m_file.resume(m_path, table->count()))
        return;
    QByteArray bytes = DataFiles::textFileHeader(QDate::currentDate());
    const qint64 rows = table ? table->count() : 0;
    if (rows > 0)
        DataFiles::appendTextRows(bytes, *table, 0, rows - 1, true);
    // Rows may exist nowhere else on disk: a journal that holds some replaces the old one
    // only once it is complete. Without rows the journal starts again in place.
    if (!m_file.create(m_path, bytes, rows > 0, rows))
        return;
    // Other slots' orphans restored into the table are now in this journal.
    for (const Orphan &o : std::as_const(m_restoredElsewhere)) {
        QFile::remove(o.path);
        ::close(o.lockFd);
    }
    m_restoredElsewhere.clear();
}

void Journal::flush()
{
    m_file.flush();
}

void Journal::fail(int)
{
    if (m_failureReported)
        return;
    m_failureReported = true;
    emit writeFailed(m_path, m_file.errorString());
}

void Journal::closeNormally()
{
    m_file.flush();
    m_file.close();
    if (m_lockFd < 0 || hasOrphan())
        return;
    const QString last = m_folder + QStringLiteral("/last-session.txt");
    ::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(last).constData());
    m_table = nullptr; // the window's last rows, if any, are not a new session
}
