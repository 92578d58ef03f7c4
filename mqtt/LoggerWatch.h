#pragma once
// Watches the loggers that publish to a broker, from a desk: it subscribes to a topic filter
// and keeps, for each logger (each topic prefix under which reading, state, status, alarm or
// diagnostics messages arrive), its id and cable, its last reading with its unit and time,
// its sampling interval, its alarms, whether it is online and its outbox's depth, and the
// readings that arrive from it while it is watched. It only reads: nothing is ever published,
// and it leaves no will and no session behind on the broker.
//
// What arrives goes through message(), which a test may call itself; troubles() says what
// makes a logger stand out at a moment.

#include "mqtt/MqttOptions.h"
#include "recording/MeasurementTable.h"

#include <QObject>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

class MqttLink;

class LoggerWatch : public QObject
{
    Q_OBJECT
public:
    struct Logger
    {
        QString Prefix; // the topics' prefix: tx9-logger/kiln
        QString Id;     // as the logger names itself (the prefix's last level until it does)
        QString Cable;
        std::optional<double> Value;
        QString Display, Unit;    // the reading as the panel shows it, and its unit
        qint64 ReadingMs = 0;     // when the last reading was captured; 0: none yet
        int IntervalSeconds = -1; // -1: not known yet; 0: every reading
        QStringList Alarms;       // the alarms on, by name
        QString AlarmDetail;      // what the last alarm said was wrong
        std::optional<bool> Online;
        std::optional<bool> CableConnected;
        bool Disconnected = false; // the cable let go on purpose: no trouble, no reading due
        quint64 Outbox = 0;
        std::shared_ptr<MeasurementTable> Readings; // those that arrived while watched
    };

    explicit LoggerWatch(QObject *parent = nullptr);
    ~LoggerWatch() override;

    // Connects to the broker of options (its URL, user and TLS) and subscribes to filter.
    void start(const Mqtt::Options &options, const QString &filter);
    void stop();
    bool connected() const;
    QString lastError() const;

    // A message that arrived on topic (retained: kept by the broker from before).
    void message(const QByteArray &topic, const QByteArray &payload, bool retained, qint64 nowMs);
    const std::vector<Logger> &loggers() const { return m_loggers; }
    // How old a reading may grow before the logger counts as blind: three of its intervals,
    // at least 10 s (30 s while its interval is not known).
    static qint64 staleAfterMs(const Logger &logger);
    // What makes the logger stand out at nowMs, in words: "no reading for 45 s", "cable not
    // connected", "offline", "alarm: high". Empty: nothing does.
    static QStringList troubles(const Logger &logger, qint64 nowMs);
    // The default filter: every logger under the default prefix.
    static QString defaultFilter() { return QStringLiteral("tx9-logger/#"); }

signals:
    void connectedChanged(bool connected);
    void changed(int index); // a logger's state; index may be new
    void readingArrived(int index);
    // An alarm of a logger started or ended while it was watched (not one the broker kept).
    void alarmChanged(int index, const QString &kind, bool start, const QString &detail);

private:
    int indexOf(const QString &prefix);
    std::unique_ptr<MqttLink> m_link;
    QByteArray m_filter;
    std::vector<Logger> m_loggers;
};
