#pragma once
// The logger's state for Prometheus, in its text format (version 0.0.4, with # HELP and
// # TYPE): the last temperature (in °C whatever the meter's unit) and its time, the readings
// stored and those without a value, the cable's connection, a meter gone silent, each kind of
// alarm, the MQTT connection and the outbox's depth, the journal, and the build; whether the
// logger runs (tx9_up) and when the figures were made. Every series carries the logger's id
// and the cable's ID, fixed at the first connection for the logger's life.
//
// --metrics-listen ADDR:PORT serves it at GET /metrics, and answers nothing else: a request
// is read to at most 4 KiB within 3 seconds, at most 32 connections are served at once (more
// are closed at once), and everything runs in the event loop without ever waiting on a client,
// so no number of clients holds up the logging. --metrics-file FILE writes the same text for
// node_exporter's textfile collector, replaced whole (SafeFile) each second it changed, and at
// least every 15 s for its timestamp; when the logger stops, once more with tx9_up 0.

#include "mqtt/MqttPublisher.h"
#include "outputs/OptionEntry.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <optional>

class AlarmMonitor;
class LoggerSession;
class QTcpServer;
class QTcpSocket;

class Metrics : public QObject
{
    Q_OBJECT
public:
    Metrics(LoggerSession &session, const AlarmMonitor &alarms, QObject *parent = nullptr);
    ~Metrics() override;

    // Publishing's state, once it has started.
    void setPublisher(MqttPublisher *publisher) { m_publisher = publisher; }
    QByteArray text() const;
    // The logger stops: tx9_up is 0 from now on, and the file says so once more.
    void stop();

    // Serves GET /metrics at ADDR:PORT (ADDR: 127.0.0.1 when only a port is given); false and
    // why when it cannot listen.
    bool listen(const QString &where, QString *why);
    quint16 port() const;
    // Writes the text to path each second it changed; failures said through failed, once.
    void writeFile(const QString &path);

    // ADDR:PORT (or PORT, or [v6]:PORT) read; false and why for anything else.
    static bool parseListen(const QString &where, QHostAddress *address, quint16 *port,
                            QString *why);
    // --metrics-listen and --metrics-file, as the command line declares them.
    static QList<OptionEntry> options();

    static constexpr int MaxRequest = 4096;
    static constexpr int RequestMs = 3000;
    static constexpr int MaxClients = 32;

signals:
    void failed(const QString &what, const QString &reason);

private:
    void serve(QTcpSocket *socket);
    void writeNow();
    QByteArray labels() const;
    std::optional<double> celsiusNow(qint64 *capturedMs) const;

    LoggerSession &m_session;
    const AlarmMonitor &m_alarms;
    QPointer<MqttPublisher> m_publisher;
    QTcpServer *m_server = nullptr;
    int m_clients = 0;
    QString m_file;
    QByteArray m_written;
    QElapsedTimer m_writtenAt;
    QTimer m_fileTimer;
    bool m_fileFailing = false;
    // What follows the session.
    qint64 m_stored = 0, m_withoutValue = 0;
    bool m_silent = false, m_journalWritable = true, m_up = true;
    mutable QByteArray m_labels; // fixed at the first connection
};
