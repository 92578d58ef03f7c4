#pragma once
// The log of alarms, for an audit: one line for each start and each end (start time, end time,
// limit, worst value, duration), kept in memory for this session and, when a file is given,
// appended to it the moment it happens and synced, so a crash loses none of it. Tab-separated
// text with a header line, ISO 8601 times with their offset, numbers with a decimal point. The
// last column names the cable the alarm came from, so that the loggers of several cables may
// share one log; a log begun before it had that column goes on without it.

#include "alarms/AlarmRules.h"

#include <QByteArray>
#include <QList>
#include <QString>

class AlarmLog
{
public:
    AlarmLog() = default;
    ~AlarmLog();
    AlarmLog(const AlarmLog &) = delete;
    AlarmLog &operator=(const AlarmLog &) = delete;

    // Appends to path from now on (the header first when the file is new). False with
    // errorString() when it cannot be opened. atFirstEntry: a file that does not exist yet is
    // made with the first entry (a run that sees no alarm leaves none behind).
    bool open(const QString &path, bool atFirstEntry = false);
    QString path() const { return m_path; }
    // Adds an entry; false (with errorString()) when the file could not take it; it is kept
    // in memory all the same.
    bool add(const AlarmEvent &event, const QString &unit);
    // The cable the next entries come from (its ID; empty while none is known).
    void setCable(const QString &cable) { m_cable = cable; }
    const QList<AlarmEvent> &entries() const { return m_entries; }
    const QStringList &units() const { return m_units; }
    QString errorString() const { return m_error; }
    // This session's entries, to path as a whole file (the old one kept on failure).
    bool saveAs(const QString &path, QString *reason) const;

    static QByteArray header(bool cableColumn = true);
    // An entry's line; with the cable column when cable is given.
    static QByteArray line(const AlarmEvent &event, const QString &unit,
                           const QString *cable = nullptr);
    // As a line on standard error: "alarm high started at ...".
    static QString sentence(const AlarmEvent &event, const QString &unit);
    static QString number(std::optional<double> v);

private:
    QString m_path;
    int m_fd = -1;
    QList<AlarmEvent> m_entries;
    QStringList m_units;
    QStringList m_cables;
    QString m_cable;
    bool m_cableColumn = true; // the file's header has it
    bool m_deferred = false;   // opened at the first entry
    QString m_error;
};
