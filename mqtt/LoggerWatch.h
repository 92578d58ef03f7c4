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
//
// Bounded whatever is published under the filter (anyone who may publish there can show
// false states; the broker's ACL decides who may): at most MaxLoggers loggers (those beyond
// are counted, not listed), MaxReadings readings kept per logger (the oldest go), each text
// field cut at MaxText characters, a message over MaxMessage bytes or a topic deeper than
// MaxDepth levels dropped unread. A reading dated more than AheadMs ahead of this clock marks
// its logger "clock ahead" and counts as arriving now, so it never hides later readings. The
// session is clean: after a reconnect the filter is subscribed again, and what was published
// meanwhile is missed but for each topic's retained message (said through reconnected).

#include "mqtt/MqttOptions.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class MqttLink;

class LoggerWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxLoggers = 500;
    static constexpr qsizetype MaxReadings = 10000;
    static constexpr qsizetype MaxMessage = 16384;
    static constexpr qsizetype MaxText = 64;
    static constexpr int MaxAlarms = 16;
    static constexpr int MaxDepth = 8;
    static constexpr qint64 AheadMs = 5 * 60 * 1000;

    // A reading that arrived while watched.
    struct Reading
    {
        qint64 Ms = 0;
        std::optional<qint32> No;
        QString Display, Unit;
    };
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
        bool Disconnected = false; // said by the logger: its cable was let go on purpose
        // Not connected because its user let the cable go: no trouble, no reading due.
        bool letGo() const { return Disconnected && CableConnected == false; }
        quint64 Outbox = 0;
        bool ClockAhead = false;      // its last reading was dated well ahead of this clock
        std::deque<Reading> Readings; // those that arrived while watched (MaxReadings at most)
        qint64 ReadingsDropped = 0;   // the oldest, gone to keep within MaxReadings
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
    // Messages of loggers beyond MaxLoggers (not listed), and messages dropped unread (too
    // large, too deep), since the watch started.
    quint64 notListed() const { return m_notListed; }
    quint64 dropped() const { return m_dropped; }
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
    // Connected again after awayMs without a connection: messages of that time are missed,
    // but for each topic's retained one.
    void reconnected(qint64 awayMs);
    void readingArrived(int index);
    // An alarm of a logger started or ended while it was watched (not one the broker kept).
    void alarmChanged(int index, const QString &kind, bool start, const QString &detail);

private:
    int indexOf(const QString &prefix);
    std::unique_ptr<MqttLink> m_link;
    QByteArray m_filter;
    std::vector<Logger> m_loggers;
    QHash<QString, int> m_index; // prefix: index in m_loggers
    quint64 m_notListed = 0, m_dropped = 0;
    qint64 m_lostAtMs = 0; // when the connection last went; 0: never connected or up
    bool m_everConnected = false;
};
