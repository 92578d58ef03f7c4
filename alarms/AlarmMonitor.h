#pragma once
// The alarm rules over a logging session's stored rows: each row's value goes through the
// rules, each start and end goes into the alarm log and out as one alarm signal, and a second's
// timer lets a hold time pass between rows. The faces (the window, the headless run) say the
// events as they do.

#include "alarms/AlarmLog.h"
#include "alarms/AlarmRules.h"
#include "recording/ValueNumbers.h"

#include <QObject>
#include <QTimer>

class LoggerSession;

class AlarmMonitor : public QObject
{
    Q_OBJECT
public:
    explicit AlarmMonitor(LoggerSession &session, QObject *parent = nullptr);

    // New settings take effect on the last reading at once.
    void setSettings(const AlarmSettings &settings);
    const AlarmSettings &settings() const { return m_rules.settings(); }
    const AlarmRules &rules() const { return m_rules; }
    AlarmLog &log() { return m_log; }
    QString unit() const { return m_unit; } // of the last reading: "°C", "°F"

signals:
    void alarm(const AlarmEvent &event, const QString &unit);
    // The log's file could not take an entry (reason).
    void logFailed(const QString &reason);

private:
    void rowStored(qint64 row, qint32 no, float value, const QDateTime &captured);
    void say(const QList<AlarmEvent> &events);

    LoggerSession &m_session;
    AlarmRules m_rules;
    AlarmLog m_log;
    QString m_unit;
    ValueNumbers m_values;
    QTimer m_tick;
};
