#pragma once
// The signature, seal and trail of a data file that grows as readings arrive (a headless
// run's file, the files --append goes on with). Its bytes are hashed as they are written, its
// rows and audit entries sealed in order, and at each sync the trail gains a seal line and
// both the file and the trail are signed again: the cost of a sync is that of its new bytes,
// whatever the size of the file.

#include "proof/Digest.h"
#include "proof/Seal.h"
#include "proof/Trail.h"

#include <QString>
#include <deque>

class MeasurementTable;
class SigningKey;

class GrowingSeal
{
public:
    GrowingSeal(const QString &dataPath, const SigningKey &key);
    ~GrowingSeal();
    GrowingSeal(const GrowingSeal &) = delete;
    GrowingSeal &operator=(const GrowingSeal &) = delete;

    // A file begun anew: its trail begun anew too. False and why when the trail cannot be made.
    bool start(QString *why);
    // Going on with a file whose first bytes hold rows (in that order) and whose trail (its
    // signed part) is trail: the hash of those bytes and the seal made again, and the trail
    // cut back to its signed part. Without a trail (an unsigned file) one is begun.
    bool resume(qint64 bytes, const MeasurementTable &rows, const Trail::Contents &trail,
                qint64 trailEnd, QString *why);

    // An entry at the rows the file has when it is made (entry.Rows is set here).
    void addEntry(AuditEntry entry);
    // The file's next bytes, as written.
    void addBytes(QByteArrayView bytes) { m_bytes.add(bytes), m_size += bytes.size(); }
    // A row whose line is among the bytes (rows go in after addBytes of their lines).
    void addRow(const MeasurementTable &table, qint64 row);
    // A row that will come: entries made from now on are placed after it.
    void expectRow() { ++m_expected; }

    // The seal line, the trail written out and both files signed again; false and why when
    // one of them could not be written (what waits goes out at the next sync).
    bool sync(QString *why);
    const Seal &seal() const { return m_seal; }
    // Whether its trail is open (start or resume done).
    bool started() const { return m_trailFd >= 0; }
    qint64 rows() const { return m_seal.rows(); }

private:
    bool writeTrail(QString *why);

    QString m_path, m_trailPath;
    const SigningKey &m_key;
    Digest m_bytes{Digest::Kind::Sha512}, m_trailBytes{Digest::Kind::Sha512};
    qint64 m_size = 0;
    Seal m_seal;
    qint64 m_expected = 0;     // rows stored, lines written or not
    qint64 m_lastSealRows = 0; // rows under the last seal line
    std::deque<AuditEntry> m_pending;
    QByteArray m_waiting; // trail lines not yet written out
    int m_trailFd = -1;
    qint64 m_trailGood = 0;
    qint64 m_signedRows = -1, m_signedSize = -1;
};
