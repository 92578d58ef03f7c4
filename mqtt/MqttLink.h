#pragma once
// One connection to an MQTT broker through libmosquitto, driven on the Qt event loop: the
// socket under QSocketNotifiers (reads, and writes while the library has bytes waiting), the
// keep-alive on a timer, no thread of its own. It connects with a fixed client id and a
// persistent session, sets the will, and reconnects after 1 s, doubling to 60 s; the back-off
// starts again at 1 s only once a connection has lasted 30 s (a broker that closes each
// connection at once is not hammered). Each
// connection is a fresh library instance: what the library had queued in memory for the last
// one is gone, and the caller (who keeps everything on disk) sends it again.
//
// A broker that cannot be reached is an outage (problem, retried); refused credentials or a
// TLS handshake that fails (a certificate that does not verify) is the configuration's fault
// (refused, retried at the longest back-off only).

#include "mqtt/MqttOptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

struct mosquitto;
class QSocketNotifier;

class MqttLink : public QObject
{
    Q_OBJECT
public:
    struct Config
    {
        QString Host;
        int Port = 1883;
        bool Tls = false;
        QString CaFile;   // empty: the system's trusted certificates
        QString CertFile; // a client certificate, with its key
        QString KeyFile;
        QString User;
        QString Password;
        QString ClientId;
        QByteArray WillTopic; // the will: WillPayload, retained, at QoS 1
        QByteArray WillPayload;
        int KeepAlive = 30;
        bool CleanSession = false; // true: the broker keeps nothing of this client between
                                   // connections (a watcher that only reads)
        // The connection the options ask for (URL, user, TLS), under clientId.
        static Config of(const Mqtt::Options &options, const QString &clientId);
    };

    explicit MqttLink(const Config &config, QObject *parent = nullptr);
    ~MqttLink() override;

    void start();
    bool connected() const { return m_connected; }
    // Publishes at qos; the message id, or -1 when not connected or refused by the library.
    int publish(const QByteArray &topic, const QByteArray &payload, int qos, bool retain);
    void subscribe(const QByteArray &topic, int qos = 1);
    // Disconnects cleanly and tries again in at least seconds (another logger holds the id:
    // no fight over the connection).
    void standAside(int seconds);
    // Waits up to ms (without the event loop) for the acknowledgement of mid and of every
    // other message in flight, then disconnects cleanly. For the end of the program.
    void finish(int mid, int ms);
    // Why the last attempt failed, or the connection was lost.
    QString lastError() const { return m_lastError; }
    int retryInSeconds() const { return m_connected ? 0 : m_backoff; }
    int inFlight() const { return m_inFlight; }

signals:
    void connectedChanged(bool connected);
    void acknowledged(int mid);
    void messageArrived(const QByteArray &topic, const QByteArray &payload, bool retained);
    void problem(const QString &why); // an outage: retried
    void refused(const QString &why); // the configuration is wrong

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const struct mosquitto_message *m);
    static void onLog(mosquitto *, void *self, int level, const char *text);
    void attempt();
    void lost(const QString &why, bool configuration = false);
    void watchSocket();
    void updateWrite();
    // The socket can be read (or written): what the library has to do with it.
    void service(bool readable);
    void misc();
    void disconnectCleanly();
    void loopFailed(int rc);
    int handshakeStep();
    QString errorText(int rc) const;

    Config m_config;
    mosquitto *m_mosq = nullptr;
    std::unique_ptr<QSocketNotifier> m_read, m_write;
    QTimer m_miscTimer;
    QTimer m_retryTimer;
    QTimer m_stableTimer; // a connection that lasts resets the back-off
    int m_backoff = 1;
    bool m_connected = false;
    bool m_finishing = false;
    bool m_refusedByConfig = false; // the last CONNACK refused for the configuration's sake
    int m_waitFor = -1;             // finish waits for this message's acknowledgement
    quint64 m_attempt = 0;          // connection attempts so far
    int m_inFlight = 0;
    QString m_lastError;
    QString m_tlsError; // what the library said of a failed handshake
};
