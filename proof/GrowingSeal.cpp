#include "proof/GrowingSeal.h"

#include "output/SafeFile.h"
#include "proof/SigningKey.h"
#include "recording/MeasurementTable.h"

#include <QDateTime>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

GrowingSeal::GrowingSeal(const QString &dataPath, const SigningKey &key)
    : m_path(dataPath), m_trailPath(Trail::trailOf(dataPath)), m_key(key)
{}

GrowingSeal::~GrowingSeal()
{
    if (m_trailFd >= 0)
        ::close(m_trailFd);
}

bool GrowingSeal::start(QString *why)
{
    m_trailFd = ::open(QFile::encodeName(m_trailPath).constData(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    if (m_trailFd < 0) {
        *why = QStringLiteral("%1: %2").arg(m_trailPath, FileIo::reason(errno));
        return false;
    }
    m_waiting = Trail::header();
    return true;
}

bool GrowingSeal::resume(qint64 bytes, const MeasurementTable &rows, const Trail::Contents &trail,
                         qint64 trailEnd, QString *why)
{
    // The bytes as they are on the disk, which the signature so far has vouched for.
    QFile data(m_path);
    if (!data.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("%1: %2").arg(m_path, data.errorString());
        return false;
    }
    QByteArray block(1 << 20, Qt::Uninitialized);
    while (m_size < bytes) {
        const qint64 n = data.read(block.data(), qMin<qint64>(block.size(), bytes - m_size));
        if (n <= 0) {
            *why = QStringLiteral("%1 cannot be read to its end").arg(m_path);
            return false;
        }
        addBytes(QByteArrayView(block.constData(), n));
    }
    if (trail.Seals.empty() && trail.Entries.empty()) {
        if (!start(why))
            return false;
    } else {
        QFile t(m_trailPath);
        if (!t.open(QIODevice::ReadOnly)) {
            *why = QStringLiteral("%1: %2").arg(m_trailPath, t.errorString());
            return false;
        }
        const QByteArray signedPart = t.read(trailEnd);
        if (signedPart.size() != trailEnd) {
            *why = QStringLiteral("%1 is shorter than its signed part (%2 of %3 bytes)")
                       .arg(m_trailPath)
                       .arg(signedPart.size())
                       .arg(trailEnd);
            return false;
        }
        m_trailBytes.add(signedPart);
        m_trailFd = ::open(QFile::encodeName(m_trailPath).constData(),
                           O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
        if (m_trailFd < 0 || ::ftruncate(m_trailFd, trailEnd) != 0) {
            *why = QStringLiteral("%1: %2").arg(m_trailPath, FileIo::reason(errno));
            return false;
        }
        m_trailGood = trailEnd;
    }
    // The seal made again: the trail's entries between the rows, at their places.
    m_seal.addAll(rows, trail.Entries);
    m_expected = rows.count();
    m_lastSealRows = trail.Seals.empty() ? 0 : trail.Seals.back().Rows;
    return true;
}

void GrowingSeal::addEntry(AuditEntry entry)
{
    entry.Rows = m_expected;
    m_pending.push_back(entry);
}

void GrowingSeal::addRow(const MeasurementTable &table, qint64 row)
{
    while (!m_pending.empty() && m_pending.front().Rows <= m_seal.rows()) {
        m_seal.addEntry(m_pending.front());
        m_waiting += Trail::entryLine(m_pending.front());
        m_pending.pop_front();
    }
    m_seal.addRow(table, row);
    // A seal between syncs too, so that a changed row is named within a few rows however
    // many arrive in a second (the file's size then is that of the bytes given so far).
    if (m_seal.rows() - m_lastSealRows >= Trail::sealSpan(m_seal.rows())) {
        m_waiting += Trail::sealLine(m_seal, AuditEntry::timeText(), m_size);
        m_lastSealRows = m_seal.rows();
    }
}

bool GrowingSeal::sync(QString *why)
{
    while (!m_pending.empty() && m_pending.front().Rows <= m_seal.rows()) {
        m_seal.addEntry(m_pending.front());
        m_waiting += Trail::entryLine(m_pending.front());
        m_pending.pop_front();
    }
    if (m_seal.rows() == m_signedRows && m_size == m_signedSize && m_waiting.isEmpty())
        return true; // nothing new since the last sync
    m_waiting += Trail::sealLine(m_seal, AuditEntry::timeText(), m_size);
    m_lastSealRows = m_seal.rows();
    if (!writeTrail(why))
        return false;
    if (!Trail::writeSignature(m_path, m_bytes.value(), m_key, why))
        return false;
    if (!Trail::writeSignature(m_trailPath, m_trailBytes.value(), m_key, why))
        return false;
    m_signedRows = m_seal.rows();
    m_signedSize = m_size;
    return true;
}

bool GrowingSeal::writeTrail(QString *why)
{
    if (m_trailFd < 0) {
        *why = QStringLiteral("%1 is not open").arg(m_trailPath);
        return false;
    }
    if (const int error =
            FileIo::writeAll(m_trailFd, m_waiting.constData(), m_waiting.size(), m_trailPath)) {
        // No torn line stays behind; the lines wait for the next sync.
        const bool cut = ::ftruncate(m_trailFd, m_trailGood) == 0;
        Q_UNUSED(cut);
        *why = QStringLiteral("%1: %2").arg(m_trailPath, FileIo::reason(error));
        return false;
    }
    m_trailGood += m_waiting.size();
    m_trailBytes.add(m_waiting);
    m_waiting.clear();
    return true;
}
