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
    connect(&m_file, &RowFile::failed, this, &Journal::fail);
    QDir().mkpath(m_folder);
    // The first free slot. The kernel drops a process's flock when it ends, however it ends,
    // so a crashed instance's slot is free again and its journal waits there.
    for (int slot = 1; slot <= MaxSlots && m_lockFd < 0; ++slot) {
        const QString suffix = slot == 1 ? QString() : QStringLiteral("-%1").arg(slot);
        const QString lock = m_folder + QStringLiteral("/journal%1.lock").arg(suffix);
        const int fd =
            ::open(QFile::encodeName(lock).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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
    m_file.flush();
    m_file.close();
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
    if (m_orphanPending || !m_table)
        return;
    m_file.appendRows(*m_table, first, last);
}

void Journal::startFrom(const MeasurementTable *table)
{
    QByteArray bytes = DataFiles::textFileHeader(QDate::currentDate());
    const bool rows = table && table->count() > 0;
    if (rows)
        DataFiles::appendTextRows(bytes, *table, 0, table->count() - 1);
    // Rows may exist nowhere else on disk: a journal that holds some replaces the old one
    // only once it is complete. Without rows the journal starts again in place.
    m_file.create(m_path, bytes, rows);
}

void Journal::flush()
{
    m_file.flush();
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
    m_file.flush();
    m_file.close();
    if (m_lockFd < 0 || m_orphanPending)
        return;
    const QString last = m_folder + QStringLiteral("/last-session.txt");
    ::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(last).constData());
    m_table = nullptr; // the window's last rows, if any, are not a new session
}
