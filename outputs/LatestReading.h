#pragma once
// The newest stored reading in a file of its own, replaced whole with each row, for a status
// display, a shell prompt or a web page that wants only "what is it now":
//   {"no":42,"time":"2026-12-09T14:03:07.512+01:00","value":23.5,"display":"23.5","unit":"°C"}
// value is null for a reading without a number. Each copy is written through SafeFile
// (written, synced, renamed), so a reader never sees half of one; a failure is said once,
// and again only when a later write has worked in between.

#include "outputs/OptionEntry.h"

#include <QObject>
#include <QString>

class LoggerSession;

class LatestReading : public QObject
{
    Q_OBJECT
public:
    LatestReading(LoggerSession &session, const QString &path, QObject *parent = nullptr);

    // --latest FILE, as the command line declares it.
    static OptionEntry option();

    // The file's text for row of the session's table.
    QByteArray json(qint64 row) const;

signals:
    void failed(const QString &path, const QString &reason);

private:
    void rowStored(qint64 row);

    LoggerSession &m_session;
    QString m_path;
    bool m_failing = false;
};
