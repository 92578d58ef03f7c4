#pragma once
// The seal of a recording: a running SHA-256 over its rows and its audit entries, in the
// order they came. Each row goes in in one form that every data file keeps (its No, the digits
// of its time of day, its value as the panel showed it and its unit, both without blanks), so
// the text, XML and CSV saves of the same rows have the same seal. A seal is given as HASH@ROWS:
// the hash after the first ROWS rows and every entry made until then.

#include "proof/Digest.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <string>
#include <vector>

class MeasurementTable;

// One change to what a recording holds or how it is taken: when (ISO 8601 with its offset),
// who (login, host), what happened, the value before and after (empty when none). Rows: how
// many rows the recording held when it happened.
struct AuditEntry
{
    qint64 Rows = 0;
    QString Time, Login, Host, What, Old, New;

    // An entry made now by this login on this host.
    static AuditEntry now(qint64 rows, const QString &what, const QString &oldValue = {},
                          const QString &newValue = {});
    // Its fields, tab-separated and escaped (a tab, a line break and a backslash within a
    // field as \t, \n and \\), without Rows.
    QByteArray fields() const;
    static std::optional<AuditEntry> fromFields(qint64 rows, QByteArrayView fields);
    // From a journal's audit mark (what follows "#break<TAB>audit<TAB>": the rows, a tab and
    // the fields as written, an empty field at the end a field too), placed at row.
    static std::optional<AuditEntry> fromJournal(QByteArrayView rest, qint64 row);
    // As a person reads it: "2026-12-10T09:00:00+01:00 anna@desk: interval: 1 -> 5".
    QString text() const;
    // A moment as the trail gives times: ISO 8601 to the second, with its offset (the local
    // one); now when none is given.
    static QString timeText(qint64 msSinceEpoch);
    static QString timeText();
};

class Seal
{
public:
    Seal() : m_hash(Digest::Kind::Sha256) {}
    void addRow(const MeasurementTable &table, qint64 row);
    void addRow(std::optional<qint32> no, QStringView time, QStringView value, QStringView unit);
    void addEntry(const AuditEntry &entry);
    // Every row of table with entries between them, each after the rows its Rows counts
    // (in order; those past the last row at the end).
    void addAll(const MeasurementTable &table, const std::vector<AuditEntry> &entries);
    qint64 rows() const { return m_rows; }
    // The hash so far, in lower-case hex.
    QByteArray hex() const;
    // "HASH@ROWS".
    QString text() const;
    void reset();

    // A seal read from HASH@ROWS; false for anything else.
    static bool parse(const QString &text, QByteArray *hex, qint64 *rows);

private:
    void flushIfFull();
    // The canonical bytes of a table's text (its value or unit), by its interned id: each
    // distinct text is made once. The text is kept to be sure the id still means it.
    struct Cached
    {
        QString Text;
        QByteArray Bytes;
    };
    const QByteArray &canonical(std::vector<Cached> &cache, const MeasurementTable &table,
                                quint32 id, bool digits);

    Digest m_hash;
    qint64 m_rows = 0;
    std::string m_waiting; // lines not yet given to the hash (it is fed in large pieces)
    const MeasurementTable *m_cacheOf = nullptr;
    std::vector<Cached> m_cache, m_times; // values and units; times (their digits)
};
