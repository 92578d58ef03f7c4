#include "outputs/Metrics.h"

#include "alarms/AlarmMonitor.h"
#include "mqtt/MqttPublisher.h"
#include "output/SafeFile.h"
#include "outputs/Outputs.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "session/LoggerSession.h"

#include <QDateTime>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// A label's value as the text format wants it: backslash, quote and line break escaped.
QByteArray label(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    }
    return out;
}

QByteArray number(double v)
{
    return QByteArray::number(v, 'g', 15);
}

} // namespace

Metrics::Metrics(LoggerSession &session, const AlarmMonitor &alarms, QObject *parent)
    : QObject(parent), m_session(session), m_alarms(alarms)
{
    LoggerEngine &engine = session.engine();
    connect(&engine, &LoggerEngine::rowStored, this, [this](qint64 row) {
        ++m_stored;
        m_silent = false;
        if (!MeasurementTable::numberOf(m_session.table().text(row, MeasurementTable::FieldValue)))
            ++m_withoutValue;
    });
    connect(&engine, &LoggerEngine::watchdogTripped, this, [this] { m_silent = true; });
    connect(&engine, &LoggerEngine::frameArrived, this, [this] { m_silent = false; });
    connect(&engine, &LoggerEngine::cableConnectedChanged, this, [this](bool on) {
        if (!on)
            m_silent = false; // no cable: nothing to be silent on
    });
    connect(&session.journal(), &Journal::writableChanged, this,
            [this](bool writable) { m_journalWritable = writable; });
    m_journalWritable = session.journal().unavailable().isEmpty();
    m_fileTimer.setInterval(1000);
    connect(&m_fileTimer, &QTimer::timeout, this, &Metrics::writeNow);
}

Metrics::~Metrics() = default;

QByteArray Metrics::labels() const
{
    if (!m_labels.isEmpty())
        return m_labels;
    // The logger is the id it publishes under, else this machine; the cable the first one it
    // read. Both are fixed from the first connection on, so that a series never changes its
    // labels while the logger lives (a cable lost keeps its name).
    const LoggerEngine &e = m_session.engine();
    const QString id = m_publisher ? m_publisher->id() : QSysInfo::machineHostName();
    const QByteArray labels = "logger=\"" + label(id) + "\",cable=\"" + label(e.firstCable()) + '"';
    if (!e.firstCable().isEmpty())
        m_labels = labels;
    return labels;
}

std::optional<double> Metrics::celsiusNow(qint64 *at) const
{
    // The last reading stands for the temperature while it is fresh (as Home Assistant's
    // expire_after has it), the cable read and the meter not silent.
    const MeasurementTable &t = m_session.table();
    if (t.count() == 0)
        return std::nullopt;
    const qint64 row = t.count() - 1;
    if (const qint64 packed = t.capturedPacked(row))
        *at = MeasurementTable::msOfPacked(packed);
    const bool fresh = *at > 0 && QDateTime::currentMSecsSinceEpoch() - *at <=
                                      qint64(m_session.staleAfterSeconds()) * 1000;
    if (!m_up || !fresh || m_silent || !m_session.engine().cableConnected())
        return std::nullopt;
    const std::optional<double> value =
        MeasurementTable::numberOf(t.text(row, MeasurementTable::FieldValue));
    if (!value)
        return std::nullopt;
    return AlarmRules::convert(*value,
                               MeasurementTable::unitName(t.text(row, MeasurementTable::FieldUnit)),
                               QStringLiteral("\u00B0C"));
}

QByteArray Metrics::text() const
{
    const QByteArray labels = this->labels();
    QByteArray out;
    auto metric = [&](const char *name, const char *type, const char *help) {
        out += QByteArray("# HELP ") + name + ' ' + help + '\n';
        out += QByteArray("# TYPE ") + name + ' ' + type + '\n';
    };
    auto sample = [&](const char *name, const QByteArray &extra, double v) {
        out += QByteArray(name) + '{' + labels + extra + "} " + number(v) + '\n';
    };
    metric("tx9_up", "gauge",
           "Whether the logger runs (0: it stopped, and this is what it said last).");
    sample("tx9_up", {}, m_up ? 1 : 0);
    metric("tx9_metrics_updated_timestamp_seconds", "gauge",
           "When these figures were made (Unix time): a file that no longer changes is of a "
           "logger that died.");
    sample("tx9_metrics_updated_timestamp_seconds", {},
           double(QDateTime::currentMSecsSinceEpoch() / 1000));
    qint64 at = 0;
    const std::optional<double> celsius = celsiusNow(&at);
    metric("tx9_temperature_celsius", "gauge",
           "The last stored reading, in degrees Celsius; absent once it is older than three "
           "sampling intervals (at least 10 s), the cable is not read or the meter is silent.");
    if (celsius)
        sample("tx9_temperature_celsius", {}, *celsius);
    metric("tx9_reading_timestamp_seconds", "gauge",
           "When the last stored reading was captured (Unix time).");
    if (at > 0)
        sample("tx9_reading_timestamp_seconds", {}, double(at) / 1000);
    metric("tx9_readings_stored_total", "counter", "Readings stored by this run.");
    sample("tx9_readings_stored_total", {}, double(m_stored));
    metric("tx9_readings_without_value_total", "counter",
           "Readings stored without a number (the meter showed none).");
    sample("tx9_readings_without_value_total", {}, double(m_withoutValue));
    const bool cable = m_up && m_session.engine().cableConnected();
    metric("tx9_cable_connected", "gauge", "Whether the cable is connected and read (1) or not.");
    sample("tx9_cable_connected", {}, cable ? 1 : 0);
    metric("tx9_meter_silent", "gauge",
           "Whether the meter has sent nothing for the watchdog's time while connected.");
    sample("tx9_meter_silent", {}, cable && m_silent ? 1 : 0);
    metric("tx9_alarm_active", "gauge", "Whether an alarm of each kind is on.");
    for (const AlarmKind k : AllAlarmKinds)
        sample("tx9_alarm_active", ",alarm=\"" + label(AlarmRules::kindName(k)) + '"',
               m_alarms.active(k) ? 1 : 0);
    if (m_publisher) {
        metric("tx9_mqtt_connected", "gauge", "Whether the MQTT broker is connected.");
        sample("tx9_mqtt_connected", {}, m_up && m_publisher->connected() ? 1 : 0);
        metric("tx9_outbox_messages", "gauge", "MQTT messages waiting in the outbox.");
        sample("tx9_outbox_messages", {}, double(m_publisher->queued()));
    }
    metric("tx9_journal_writable", "gauge",
           "Whether the recovery journal is written (0 while writing it fails).");
    sample("tx9_journal_writable", {}, m_journalWritable ? 1 : 0);
    metric("tx9_build_info", "gauge", "The program's version, with the logger's labels.");
    sample("tx9_build_info", ",version=\"" TX9_VERSION "\"", 1);
    return out;
}

void Metrics::stop()
{
    if (!std::exchange(m_up, false))
        return;
    // The textfile stays, saying the logger is down: a scraper sees tx9_up 0 (and no
    // temperature) rather than a series that vanishes, which only absent() would catch.
    if (!m_file.isEmpty()) {
        m_fileTimer.stop();
        writeNow();
    }
}

bool Metrics::parseListen(const QString &where, QHostAddress *address, quint16 *port, QString *why)
{
    QString host = QStringLiteral("127.0.0.1"), portText = where;
    const qsizetype colon = where.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = where.left(colon);
        portText = where.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        if (host.isEmpty())
            host = QStringLiteral("127.0.0.1");
    }
    bool ok = false;
    const uint p = portText.toUInt(&ok);
    if (!ok || p == 0 || p > 65535 || !address->setAddress(host)) {
        *why = QStringLiteral("--metrics-listen takes ADDR:PORT (an IP address and a port, "
                              "127.0.0.1:9109) or a port, not \"%1\"")
                   .arg(where.left(100));
        return false;
    }
    *port = quint16(p);
    return true;
}

bool Metrics::listen(const QString &where, QString *why)
{
    QHostAddress address;
    quint16 port = 0;
    if (!parseListen(where, &address, &port, why))
        return false;
    m_server = new QTcpServer(this);
    if (!m_server->listen(address, port)) {
        *why = QStringLiteral("cannot listen on %1: %2").arg(where, m_server->errorString());
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server->nextPendingConnection())
            serve(s);
    });
    return true;
}

quint16 Metrics::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

void Metrics::serve(QTcpSocket *socket)
{
    if (m_clients >= MaxClients) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_clients;
    connect(socket, &QObject::destroyed, this, [this] { --m_clients; });
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] { socket->abort(); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
    deadline->start(RequestMs);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        if (socket->property("answered").toBool()) {
            socket->readAll();
            return;
        }
        QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        if (request.size() > MaxRequest) {
            socket->abort();
            return;
        }
        socket->setProperty("request", request);
        const qsizetype end = request.indexOf("\r\n\r\n");
        if (end < 0 && request.indexOf("\n\n") < 0)
            return; // the rest of the head is still to come
        const QList<QByteArray> first = request.left(request.indexOf('\n')).trimmed().split(' ');
        QByteArray status = "200 OK", body, type = "text/plain; version=0.0.4; charset=utf-8";
        if (first.size() != 3 || !first[2].startsWith("HTTP/1.")) {
            status = "400 Bad Request";
            body = "bad request\n";
            type = "text/plain";
        } else if (first[0] != "GET") {
            status = "405 Method Not Allowed";
            body = "only GET /metrics\n";
            type = "text/plain";
        } else if (first[1] != "/metrics" && !first[1].startsWith("/metrics?")) {
            status = "404 Not Found";
            body = "only GET /metrics\n";
            type = "text/plain";
        } else {
            body = text();
        }
        socket->setProperty("answered", true);
        socket->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n" +
                      (status.startsWith("405") ? "Allow: GET\r\n" : "") + "\r\n" + body);
        socket->disconnectFromHost();
    });
}

void Metrics::writeFile(const QString &path)
{
    m_file = path;
    writeNow();
    m_fileTimer.start();
}

void Metrics::writeNow()
{
    const QByteArray now = text();
    // The timestamp alone changed: written again only every 15 s.
    const auto figures = [](QByteArray t) {
        const qsizetype at = t.indexOf("\ntx9_metrics_updated_timestamp_seconds{");
        return at < 0 ? t : t.remove(at, t.indexOf('\n', at + 1) - at);
    };
    if (m_up && !m_fileFailing && m_writtenAt.isValid() && m_writtenAt.elapsed() < 15000 &&
        figures(now) == figures(m_written))
        return;
    QString reason;
    if (SafeFile::writeWhole(m_file, now, &reason, 0644)) {
        m_written = now;
        m_writtenAt.start();
        m_fileFailing = false;
        return;
    }
    if (!std::exchange(m_fileFailing, true))
        emit failed(m_file, reason);
}

QList<OptionEntry> Metrics::options()
{
    return {
        {{QStringLiteral("metrics-listen")},
         "ADDR:PORT",
         "serve GET /metrics for Prometheus on ADDR:PORT (a port\n"
         "alone: on 127.0.0.1 only)",
         OptionEntry::Where::Both,
         [](OutputOptions &o, const QString &v) { o.MetricsListen = v; },
         "latest"},
        {{QStringLiteral("metrics-file")},
         "FILE",
         "write the same metrics to FILE each second they change,\n"
         "for node_exporter's textfile collector",
         OptionEntry::Where::Both,
         [](OutputOptions &o, const QString &v) { o.MetricsFile = v; },
         "metrics-listen"},
    };
}
