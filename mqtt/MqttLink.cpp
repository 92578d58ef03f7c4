#include "mqtt/MqttLink.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mutex>
#include <poll.h>

namespace {

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

MqttLink::Config MqttLink::Config::of(const Mqtt::Options &o, const QString &clientId)
{
    Config c;
    c.Host = o.Host;
    c.Port = o.Port;
    c.Tls = o.Tls;
    c.CaFile = o.CaFile;
    c.CertFile = o.CertFile;
    c.KeyFile = o.KeyFile;
    c.User = o.User;
    c.Password = o.Password;
    c.ClientId = clientId;
    return c;
}

MqttLink::MqttLink(const Config &config, QObject *parent) : QObject(parent), m_config(config)
{
    initLibrary();
    m_miscTimer.setInterval(1000);
    connect(&m_miscTimer, &QTimer::timeout, this, &MqttLink::misc);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &MqttLink::attempt);
    m_stableTimer.setSingleShot(true);
    m_stableTimer.setInterval(30000);
    connect(&m_stableTimer, &QTimer::timeout, this, [this] {
        if (m_connected)
            m_backoff = 1;
    });
}

MqttLink::~MqttLink()
{
    m_read.reset();
    m_write.reset();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

void MqttLink::start()
{
    attempt();
}

QString MqttLink::errorText(int rc) const
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    QString text = QString::fromUtf8(mosquitto_strerror(rc));
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

void MqttLink::attempt()
{
    if (m_mosq || m_finishing)
        return;
    m_tlsError.clear();
    const QByteArray id = m_config.ClientId.toUtf8();
    m_mosq = mosquitto_new(id.constData(), m_config.CleanSession, this);
    if (!m_mosq) {
        lost(QStringLiteral("the MQTT library could not start: %1")
                 .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // The caller keeps its own window of messages in flight.
    mosquitto_max_inflight_messages_set(m_mosq, 0);
    mosquitto_connect_callback_set(m_mosq, &MqttLink::onConnect);
    mosquitto_publish_callback_set(m_mosq, &MqttLink::onPublish);
    mosquitto_message_callback_set(m_mosq, &MqttLink::onMessage);
    mosquitto_log_callback_set(m_mosq, &MqttLink::onLog);
    if (!m_config.User.isEmpty()) {
        const QByteArray user = m_config.User.toUtf8(), password = m_config.Password.toUtf8();
        mosquitto_username_pw_set(m_mosq, user.constData(),
                                  m_config.Password.isEmpty() ? nullptr : password.constData());
    }
    if (!m_config.WillTopic.isEmpty())
        mosquitto_will_set(m_mosq, m_config.WillTopic.constData(), int(m_config.WillPayload.size()),
                           m_config.WillPayload.constData(), 1, true);
    if (m_config.Tls) {
        const QByteArray ca = m_config.CaFile.toLocal8Bit(), cert = m_config.CertFile.toLocal8Bit(),
                         key = m_config.KeyFile.toLocal8Bit();
        if (m_config.CaFile.isEmpty())
            mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const int rc = mosquitto_tls_set(m_mosq, ca.isEmpty() ? nullptr : ca.constData(),
                                         ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
                                         cert.isEmpty() ? nullptr : cert.constData(),
                                         key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            lost(QStringLiteral("the TLS files cannot be used (%1)").arg(errorText(rc)), true);
            return;
        }
    }
    const QByteArray host = m_config.Host.toUtf8();
    const int rc =
        mosquitto_connect_async(m_mosq, host.constData(), m_config.Port, m_config.KeepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        // The handshake may begin (and fail) in the call itself.
        loopFailed(rc);
        return;
    }
    watchSocket();
    // A broker that never answers (a host that drops the packets) is given up on, and tried
    // again, like one that refuses.
    QTimer::singleShot(30000, this, [this, attempt = ++m_attempt] {
        if (m_attempt == attempt && m_mosq && !m_connected)
            lost(QStringLiteral("no answer from the broker"));
    });
}

void MqttLink::watchSocket()
{
    const int fd = mosquitto_socket(m_mosq);
    if (fd < 0) {
        lost(QStringLiteral("no connection"));
        return;
    }
    m_read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_read.get(), &QSocketNotifier::activated, this, [this] { service(true); });
    m_write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_write.get(), &QSocketNotifier::activated, this, [this] { service(false); });
    m_miscTimer.start();
    updateWrite();
}

void MqttLink::updateWrite()
{
    if (m_write && m_mosq)
        m_write->setEnabled(mosquitto_want_write(m_mosq));
}

int MqttLink::handshakeStep()
{
    // While TLS is still shaking hands, the library goes on with it only from its own loop
    // (mosquitto_loop_read and _write leave it waiting): one round of that loop, without
    // waiting, does what the socket is ready for.
    return mosquitto_loop(m_mosq, 0, 1);
}

void MqttLink::service(bool readable)
{
    if (!m_mosq)
        return;
    const int rc = m_config.Tls && !m_connected ? handshakeStep()
                   : readable                   ? mosquitto_loop_read(m_mosq, 1)
                                                : mosquitto_loop_write(m_mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS)
        loopFailed(rc);
    else
        updateWrite();
}

void MqttLink::loopFailed(int rc)
{
    const QString why = errorText(rc);
    if (!m_tlsError.isEmpty() || rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE)
        lost(m_tlsError.isEmpty()
                 ? QStringLiteral("the TLS handshake with the broker failed (%1)").arg(why)
                 : m_tlsError,
             !m_connected);
    else if (rc == MOSQ_ERR_CONN_REFUSED)
        lost(m_lastError, m_refusedByConfig);
    else
        lost(why);
}

void MqttLink::misc()
{
    if (!m_mosq)
        return;
    const int rc = mosquitto_loop_misc(m_mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_KEEPALIVE
                 ? QStringLiteral("the broker stopped answering")
                 : errorText(rc));
        return;
    }
    updateWrite();
}

void MqttLink::lost(const QString &why, bool configuration)
{
    m_stableTimer.stop();
    m_read.reset();
    m_write.reset();
    m_miscTimer.stop();
    if (m_mosq)
        mosquitto_destroy(std::exchange(m_mosq, nullptr));
    m_inFlight = 0;
    m_refusedByConfig = false;
    m_lastError = why.isEmpty() ? QStringLiteral("the connection was lost") : why;
    const bool was = std::exchange(m_connected, false);
    if (was)
        emit connectedChanged(false);
    if (m_finishing)
        return;
    if (configuration) {
        m_backoff = 60;
        emit refused(m_lastError);
    } else if (!was) {
        emit problem(m_lastError); // a loss is said by connectedChanged
    }
    m_retryTimer.start(m_backoff * 1000);
    m_backoff = qMin(60, m_backoff * 2);
}

int MqttLink::publish(const QByteArray &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!m_mosq || !m_connected)
        return -1;
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, topic.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        // The connection broke under the write: given up once the caller is out of here.
        const QString why = errorText(rc);
        QTimer::singleShot(0, this, [this, why, attempt = m_attempt] {
            if (m_attempt == attempt && m_mosq)
                lost(why);
        });
        m_connected = false;
        return -1;
    }
    if (qos > 0)
        ++m_inFlight;
    updateWrite();
    return mid;
}

void MqttLink::subscribe(const QByteArray &topic, int qos)
{
    if (m_mosq && m_connected) {
        mosquitto_subscribe(m_mosq, nullptr, topic.constData(), qos);
        updateWrite();
    }
}

void MqttLink::disconnectCleanly()
{
    mosquitto_disconnect(m_mosq);
    // The disconnect packet goes out before the socket closes.
    for (int i = 0; i < 10 && mosquitto_want_write(m_mosq); ++i)
        if (mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS)
            break;
}

void MqttLink::standAside(int seconds)
{
    m_backoff = qMax(m_backoff, seconds);
    // Called from the library's own callbacks: the instance goes once they have returned.
    QTimer::singleShot(0, this, [this, attempt = m_attempt] {
        if (m_attempt != attempt || !m_mosq)
            return;
        if (m_connected)
            disconnectCleanly();
        lost(QStringLiteral("another logger is using the id"));
    });
}

void MqttLink::finish(int mid, int ms)
{
    m_finishing = true;
    m_retryTimer.stop();
    if (!m_mosq)
        return;
    if (m_connected) {
        // Outside the event loop: the socket alone, until everything in flight is
        // acknowledged or the time is up.
        m_waitFor = mid;
        const QDeadlineTimer deadline(ms);
        while (m_mosq && m_connected && (m_inFlight > 0 || m_waitFor >= 0) &&
               !deadline.hasExpired()) {
            pollfd p = {mosquitto_socket(m_mosq), short(POLLIN), 0};
            if (mosquitto_want_write(m_mosq))
                p.events |= POLLOUT;
            if (::poll(&p, 1, int(qMin<qint64>(100, deadline.remainingTime()))) < 0 &&
                errno != EINTR)
                break;
            int rc = MOSQ_ERR_SUCCESS;
            if (p.revents & (POLLIN | POLLHUP | POLLERR))
                rc = mosquitto_loop_read(m_mosq, 1);
            if (rc == MOSQ_ERR_SUCCESS && (p.revents & POLLOUT))
                rc = mosquitto_loop_write(m_mosq, 1);
            if (rc != MOSQ_ERR_SUCCESS)
                break;
        }
        if (m_mosq && m_connected)
            disconnectCleanly();
    }
    m_read.reset();
    m_write.reset();
    m_miscTimer.stop();
    if (m_mosq)
        mosquitto_destroy(std::exchange(m_mosq, nullptr));
    m_connected = false;
}

void MqttLink::onConnect(mosquitto *, void *self, int rc)
{
    auto *link = static_cast<MqttLink *>(self);
    if (rc != 0) {
        // CONNACK refused: bad user name or password, not authorised, or the id rejected are
        // the configuration's fault; a broker that says it is unavailable is an outage.
        QString why =
            QString::fromUtf8(mosquitto_connack_string(rc)).section(QLatin1Char(':'), -1).trimmed();
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        if (rc == 4 || rc == 5)
            why += QStringLiteral(" (check --mqtt-user and the password)");
        else if (rc == 2)
            why += QStringLiteral(" (check --mqtt-id)");
        link->m_lastError = QStringLiteral("the broker refused the connection: %1").arg(why);
        link->m_refusedByConfig = rc == 2 || rc == 4 || rc == 5;
        return;
    }
    link->m_connected = true;
    link->m_stableTimer.start();
    link->m_lastError.clear();
    emit link->connectedChanged(true);
}

void MqttLink::onPublish(mosquitto *, void *self, int mid)
{
    auto *link = static_cast<MqttLink *>(self);
    if (link->m_inFlight > 0)
        --link->m_inFlight;
    if (mid == link->m_waitFor)
        link->m_waitFor = -1;
    emit link->acknowledged(mid);
}

void MqttLink::onMessage(mosquitto *, void *self, const mosquitto_message *m)
{
    auto *link = static_cast<MqttLink *>(self);
    emit link->messageArrived(QByteArray(m->topic),
                              QByteArray(static_cast<const char *>(m->payload), m->payloadlen),
                              m->retain);
}

void MqttLink::onLog(mosquitto *, void *self, int level, const char *text)
{
    auto *link = static_cast<MqttLink *>(self);
    if (level == MOSQ_LOG_ERR && std::strstr(text, "OpenSSL Error") && link->m_tlsError.isEmpty())
        link->m_tlsError =
            QStringLiteral("the TLS handshake with the broker failed (%1)")
                .arg(QString::fromUtf8(text).section(QLatin1Char(':'), -1).trimmed());
}
