#include "outputs/AuditTrail.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "session/LoggerSession.h"
#include "timeline/Notes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray AuditMark = "#break\taudit\t";
const QByteArray SealMark = "#break\tseal\t";

} // namespace

AuditTrail::AuditTrail(LoggerSession &session, const QString &logPath, QObject *parent)
    : QObject(parent), m_session(session), m_logPath(logPath)
{
    MeasurementTable &table = session.table();
    connect(&table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { rowsInserted(first, last); });
    // Emptied: what the recording held and its seal, then a new recording and a new seal
    // whose first entry says so.
    connect(&table, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        rowsInserted(m_sealedRows, m_session.table().count() - 1);
        m_emptiedRows = m_session.table().count();
        m_emptiedSeal = m_seal.text();
    });
    connect(&table, &QAbstractItemModel::modelReset, this, &AuditTrail::emptied);
    LoggerEngine &engine = session.engine();
    connect(&engine, &LoggerEngine::recallLocked, this, [this](bool connected) {
        if (!connected) {
            record(QStringLiteral("disconnected"));
            return;
        }
        const LoggerEngine &e = m_session.engine();
        const CableIds::Cable cable = e.cableOf(e.Selected);
        record(QStringLiteral("connected"), QString(),
               QStringLiteral("cable %1%2")
                   .arg(cable.Id, cable.Serial.isEmpty()
                                      ? QStringLiteral(" (no serial number)")
                                      : QStringLiteral(" (serial number %1)").arg(cable.Serial)));
    });
    connect(&engine, &LoggerEngine::connectionLost, this,
            [this] { record(QStringLiteral("cable lost")); });
    connect(&engine, &LoggerEngine::downloadEnded, this, [this] {
        record(QStringLiteral("download ended"), QString(),
               QStringLiteral("%1 rows in the table").arg(m_session.table().count()));
    });
    // The wall clock set between two readings: the steady clock and the capture times
    // disagree.
    connect(&engine, &LoggerEngine::rowStored, this,
            [this](qint64 row, qint32, float, const QDateTime &captured) {
                const MeasurementTable &t = m_session.table();
                if (row < 1)
                    return;
                if (const std::optional<qint64> span = t.steadySpanMs(row - 1)) {
                    const qint64 before = MeasurementTable::msOfPacked(t.capturedPacked(row - 1));
                    record(QStringLiteral("wall clock set"), AuditEntry::timeText(before + *span),
                           AuditEntry::timeText(captured.toMSecsSinceEpoch()));
                }
            });
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &AuditTrail::tick);
    m_timer.start();
}

AuditTrail::~AuditTrail()
{
    // The session may be gone by now: its end is the face's to record (end()).
    if (m_logFd >= 0)
        ::close(m_logFd);
}

QString AuditTrail::defaultLogPath()
{
    return FileIo::stateFolder() + QStringLiteral("/audit-log.txt");
}

void AuditTrail::begin(const QString &version)
{
    record(QStringLiteral("session started"), QString(),
           QStringLiteral("tx9-logger %1, process %2").arg(version).arg(::getpid()));
}

void AuditTrail::end()
{
    if (std::exchange(m_ended, true))
        return;
    record(QStringLiteral("session ended"), QString(),
           QStringLiteral("%1 rows, seal %2").arg(m_session.table().count()).arg(m_seal.text()));
    tick();
}

void AuditTrail::followNotes(const Notes &notes)
{
    // Every note's text as it stands (brought from a journal or a file too), and what it was
    // before the change being reported: noted comes first, madeHere after it.
    connect(&notes, &Notes::noted, this, [this](const Notes::Note &n) {
        m_notePrevious.insert(n.Id, m_noteTexts.contains(n.Id)
                                        ? std::optional<QString>(m_noteTexts.value(n.Id))
                                        : std::nullopt);
        m_noteTexts.insert(n.Id, n.Text);
    });
    connect(&notes, &Notes::madeHere, this, [this](const Notes::Note &n, bool removed) {
        const QString where =
            n.No ? QStringLiteral("note on No %1").arg(*n.No)
                 : QStringLiteral("note at %1").arg(AuditEntry::timeText(n.TimeMs));
        if (removed) {
            record(where + QStringLiteral(" removed"), m_noteTexts.value(n.Id, n.Text));
            m_noteTexts.remove(n.Id);
            return;
        }
        const std::optional<QString> before = m_notePrevious.take(n.Id);
        record(where + (before ? QStringLiteral(" edited") : QStringLiteral(" added")),
               before.value_or(QString()), n.Text);
    });
}

void AuditTrail::record(const QString &what, const QString &oldValue, const QString &newValue)
{
    // The rows stored so far go into the seal before the entry that follows them.
    const qint64 rows = m_session.table().count();
    if (m_sealedRows < rows)
        rowsInserted(m_sealedRows, rows - 1);
    append(AuditEntry::now(rows, what, oldValue, newValue));
}

void AuditTrail::append(const AuditEntry &entry)
{
    m_seal.addEntry(entry);
    m_entries.push_back(entry);
    m_all.push_back(entry);
    m_session.journal().writeMark(journalLine(entry));
    writeLog(entry);
    emit recorded(entry);
}

QByteArray AuditTrail::journalLine(const AuditEntry &entry)
{
    return AuditMark + QByteArray::number(entry.Rows) + '\t' + entry.fields() + "\r\n";
}

void AuditTrail::rowsInserted(qint64 first, qint64 last)
{
    const MeasurementTable &t = m_session.table();
    for (qint64 r = qMax(first, m_sealedRows); r <= last && r < t.count(); ++r)
        m_seal.addRow(t, r);
    m_sealedRows = qMax(m_sealedRows, qMin(last + 1, t.count()));
}

void AuditTrail::emptied()
{
    m_seal.reset();
    m_sealedRows = 0;
    m_entries.clear();
    if (m_emptiedRows > 0)
        record(QStringLiteral("table emptied"),
               QStringLiteral("%1 rows, seal %2").arg(m_emptiedRows).arg(m_emptiedSeal),
               QStringLiteral("0 rows"));
}

std::vector<AuditEntry> AuditTrail::restored(qint64 first,
                                             const std::vector<DataFiles::Mark> &marks)
{
    // The recording's entries before the restored rows, then the journal's among them (they
    // happened first), then this session's that came since, after them all: a journal
    // restored into an empty table goes on with the very seal it had.
    std::vector<AuditEntry> entries, since, journal;
    for (const AuditEntry &e : m_entries)
        (e.Rows < first ? entries : since).push_back(e);
    for (const DataFiles::Mark &m : marks) {
        if (m.Word != "audit")
            continue;
        const std::optional<AuditEntry> e =
            AuditEntry::fromJournal(m.Rest, first + qMax<qint64>(0, m.Row));
        if (!e)
            continue;
        entries.push_back(*e);
        journal.push_back(*e);
    }
    for (AuditEntry &e : since) {
        e.Rows = m_session.table().count();
        entries.push_back(e);
    }
    // The seal made again over the rows and entries in their order.
    const MeasurementTable &t = m_session.table();
    m_seal.reset();
    m_seal.addAll(t, entries);
    m_sealedRows = t.count();
    m_entries = entries;
    return journal;
}

QByteArray AuditTrail::listText() const
{
    QByteArray out = "time\tlogin\thost\twhat\tbefore\tafter\n";
    for (const AuditEntry &e : m_all)
        out += e.fields() + '\n';
    out += "# seal of the recording: " + m_seal.text().toUtf8() + '\n';
    return out;
}

void AuditTrail::writeLog(const AuditEntry &entry)
{
    if (m_logPath.isEmpty() || m_logFailed)
        return;
    if (m_logFd < 0) {
        QDir().mkpath(QFileInfo(m_logPath).absolutePath());
        m_logFd = ::open(QFile::encodeName(m_logPath).constData(),
                         O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
        if (m_logFd < 0) {
            m_logFailed = true;
            emit logFailed(m_logPath, FileIo::reason(errno));
            return;
        }
    }
    const QByteArray line = entry.fields() + '\n';
    int error = FileIo::writeAll(m_logFd, line.constData(), line.size(), m_logPath);
    if (!error)
        error = FileIo::sync(m_logFd, m_logPath);
    if (error) {
        m_logFailed = true;
        emit logFailed(m_logPath, FileIo::reason(error));
    }
}

void AuditTrail::tick()
{
    const qint64 rows = m_session.table().count();
    if (m_sealedRows < rows)
        rowsInserted(m_sealedRows, rows - 1);
    const QString now = m_seal.text();
    if (now == m_lastSealed)
        return;
    m_lastSealed = now;
    m_session.journal().writeMark(SealMark + QByteArray::number(m_seal.rows()) + '\t' +
                                  m_seal.hex() + "\r\n");
    emit sealed(now);
}
