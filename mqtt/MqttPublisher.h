#pragma once
// Publishes a logging session's stored rows to an MQTT broker: each row goes into the outbox
// (beside the journal, one per logger id) the moment it is stored, and from there to
// <prefix>/reading at QoS 1; it leaves the outbox when the broker has acknowledged it. Also
// <prefix>/state (the last reading, retained), <prefix>/status (online, and offline as the
// will and at a clean stop) and, when asked, Home Assistant's discovery config. Logging never
// waits for the broker: the outbox is local, the connection runs on the event loop.
//
// One id, one logger: <prefix>/owner holds a retained token of the logger that publishes
// there (this installation's, renewed every 30 s, cleared at a clean stop). After each
// connect the publisher subscribes to it and sends a probe; what arrives before the probe's
// echo is the token in force. A fresh token of another logger means that logger (on another
// machine, with its own state) is using the id: nothing is published, the connection is
// left to it and tried again later, and three such takeovers within ten minutes are said
// as idInUse. Otherwise the token is claimed and publishing begins.

#include "mqtt/MqttLink.h"
#include "mqtt/MqttOptions.h"
#include "mqtt/Outbox.h"

#include <QHash>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

class AlarmMonitor;
class LoggerSession;

class MqttPublisher : public QObject
{
    Q_OBJECT
public:
    MqttPublisher(const Mqtt::Options &options, LoggerSession &session, QObject *parent = nullptr);
    ~MqttPublisher() override; // closes (a bounded wait for the broker)

    // Settles the id (the cable's serial number is part of the default), opens the outbox
    // and begins to connect. False with error when the outbox cannot be used.
    bool start(const QString &cableSerial, QString *error);
    // Each alarm start and end of monitor on the alarm topic (retained: the last one is the
    // state a subscriber arriving later sees).
    void followAlarms(AlarmMonitor &monitor);
    // A clean stop: offline published, what is in flight waited for up to ms, disconnected.
    // What the broker has not acknowledged stays in the outbox for the next start.
    void close(int ms = 2000);

    QString id() const { return m_id; }
    QString prefix() const { return m_prefix; }
    QString outboxFolder() const { return m_outbox.folder(); }
    bool connected() const { return m_link && m_link->connected(); }
    bool everConnected() const { return m_everConnected; }
    quint64 queued() const { return m_outbox.pending(); }
    // Of those, on disk for the next start, and only in memory (lost at the end).
    quint64 onDisk() const { return m_outbox.onDisk(); }
    quint64 notKept() const { return m_outbox.notKept(); }
    // Why the outbox could not be written, the last time it could not.
    QString outboxError() const { return m_outbox.whyNotKept(); }
    // "MQTT connected, 0 queued" and the like, for a status line.
    QString statusText() const;
    // A message that is not a reading (an alarm), kept and sent as the readings are.
    void publishEvent(const QByteArray &topic, const QByteArray &payload, bool retain);
    // The seq a row of the session's table was published with; none for a row not published
    // by this run (restored, loaded).
    std::optional<quint64> seqOfRow(qint64 row) const;

signals:
    // A change worth a line: connected, lost, the outbox's trouble. problem: not progress.
    void said(const QString &line, bool problem);
    // The broker refused the configuration (credentials, certificate).
    void refused(const QString &why);
    // What the user must see (not only a line): damage in the outbox, its folder made again,
    // another logger on the id.
    void trouble(const QString &text);
    // Another logger took the id over three times within ten minutes.
    void idInUse();
    // The broker connected or lost (why, in the link's words).
    void brokerChanged(bool connected, const QString &why);
    // The outbox could not be written (why), or is written again.
    void outboxWritableChanged(bool writable, const QString &why);

private:
    void rowStored(qint64 row, qint32 no, float value, const QDateTime &captured);
    void connectedChanged(bool connected);
    void acknowledged(int mid);
    void pump();
    bool ready() const { return connected() && m_claimed; }
    void ownerMessage(const QByteArray &payload, bool retained);
    QByteArray ownerPayload(bool probe) const;
    void claim();
    void publishDiscovery();
    QByteArray topic(const QByteArray &suffix) const;

    static constexpr int Window = 512; // messages in flight
    Mqtt::Options m_options;
    LoggerSession &m_session;
    Outbox m_outbox;
    std::unique_ptr<MqttLink> m_link;
    QString m_id, m_prefix;
    QString m_unit; // of the first reading, for the discovery config
    bool m_discoveryDone = false;
    // <prefix>/diagnostics: what was last sent (the cable's connection, the outbox's depth).
    void publishDiagnostics(bool always = false);
    std::optional<std::pair<bool, quint64>> m_sentDiagnostics;
    QTimer m_diagnosticsTimer;
    QHash<int, quint64> m_mids; // message id -> outbox index
    // Rows published in runs of consecutive rows and seqs: the first row and its seq.
    struct SeqRun
    {
        qint64 Row = 0;
        quint64 Seq = 0;
        qint64 Rows = 0;
    };
    std::vector<SeqRun> m_seqRuns;
    QByteArray m_lastState; // the last reading's JSON, for <prefix>/state
    bool m_everConnected = false;
    bool m_closing = false;
    bool m_pumping = false;
    bool m_claimed = false;    // this connection holds <prefix>/owner
    QByteArray m_token;        // this installation's (machine and outbox)
    QList<qint64> m_takeovers; // when (ms since the epoch)
    QTimer m_heartbeat;
};
