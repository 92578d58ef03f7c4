#include "mqtt/MqttPublisher.h"

#include "alarms/AlarmMonitor.h"
#include "mqtt/MqttPayloads.h"

#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "session/LoggerSession.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <unistd.h>

namespace {

constexpr qint64 FreshMs = 90 * 1000;               // a token younger than this is in force
constexpr qint64 TakeoverWindowMs = 10 * 60 * 1000; // three takeovers in it: the id is taken
constexpr int StandAsideSeconds = 5;                // at least, then doubling

} // namespace

MqttPublisher::MqttPublisher(const Mqtt::Options &options, LoggerSession &session, QObject *parent)
    : QObject(parent), m_options(options), m_session(session)
{
    connect(&m_outbox, &Outbox::writeFailed, this, [this](const QString &reason) {
        emit said(QStringLiteral("Could not write the MQTT outbox %1: %2. The readings wait in "
                                 "memory and are published once it can be written.")
                      .arg(m_outbox.folder(), reason),
                  true);
        emit outboxWritableChanged(false, reason);
    });
    connect(&m_outbox, &Outbox::trouble, this, [this](const QString &text) {
        emit said(text, true);
        emit trouble(text);
    });
    connect(&m_outbox, &Outbox::writeRecovered, this, [this] {
        emit said(QStringLiteral("The MQTT outbox %1 is written again.").arg(m_outbox.folder()),
                  true);
        emit outboxWritableChanged(true, QString());
        pump();
    });
}

MqttPublisher::~MqttPublisher()
{
    close();
}

QByteArray MqttPublisher::topic(const QByteArray &suffix) const
{
    return m_prefix.toUtf8() + '/' + suffix;
}

bool MqttPublisher::start(const QString &cableSerial, QString *error)
{
    m_id = m_options.Id.isEmpty() ? Mqtt::defaultId(cableSerial) : m_options.Id;
    m_prefix = m_options.TopicPrefix.isEmpty() ? QStringLiteral("tx9-logger/") + m_id
                                               : m_options.TopicPrefix;
    const QString folder = m_session.journal().folder() + QStringLiteral("/outbox/") + m_id;
    if (!m_outbox.open(folder)) {
        *error = QStringLiteral("The MQTT outbox %1 cannot be used: %2.")
                     .arg(folder, m_outbox.errorString());
        return false;
    }
    for (const QString &w : m_outbox.takeWarnings()) {
        emit said(w, true);
        emit trouble(w);
    }
    QFile machine(QStringLiteral("/etc/machine-id"));
    const QByteArray machineId = machine.open(QIODevice::ReadOnly)
                                     ? machine.readAll().trimmed()
                                     : QSysInfo::machineHostName().toUtf8();
    m_token =
        QCryptographicHash::hash(machineId + '\0' + folder.toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(32);
    m_heartbeat.setInterval(30000);
    connect(&m_heartbeat, &QTimer::timeout, this, [this] {
        if (ready())
            m_link->publish(topic("owner"), ownerPayload(false), 1, true);
    });
    connect(&m_session.engine(), &LoggerEngine::rowStored, this, &MqttPublisher::rowStored);
    // The logger's own state for a dashboard: the cable's connection as it changes, the
    // outbox's depth at most every ten seconds while it changes.
    connect(&m_session.engine(), &LoggerEngine::cableConnectedChanged, this,
            [this] { publishDiagnostics(); });
    m_diagnosticsTimer.setInterval(10000);
    connect(&m_diagnosticsTimer, &QTimer::timeout, this, [this] { publishDiagnostics(); });
    m_diagnosticsTimer.start();

    MqttLink::Config c = MqttLink::Config::of(m_options, m_id);
    c.WillTopic = topic("status");
    c.WillPayload = "offline";
    m_link = std::make_unique<MqttLink>(c, this);
    connect(m_link.get(), &MqttLink::connectedChanged, this, &MqttPublisher::connectedChanged);
    connect(m_link.get(), &MqttLink::acknowledged, this, &MqttPublisher::acknowledged);
    connect(m_link.get(), &MqttLink::problem, this, [this](const QString &why) {
        emit said(QStringLiteral("MQTT: no connection to %1: %2; %3 messages wait in the "
                                 "outbox, trying again in %4 s.")
                      .arg(m_options.Url, why)
                      .arg(m_outbox.pending())
                      .arg(m_link->retryInSeconds()),
                  true);
    });
    connect(m_link.get(), &MqttLink::refused, this, [this](const QString &why) {
        emit said(QStringLiteral("MQTT: %1 refused: %2.").arg(m_options.Url, why), true);
        emit refused(why);
    });
    connect(m_link.get(), &MqttLink::messageArrived, this,
            [this](const QByteArray &t, const QByteArray &payload, bool retained) {
                if (t == topic("owner"))
                    ownerMessage(payload, retained);
                // Home Assistant started again: it forgets what was not retained, and asks.
                if (m_options.HaPrefix && t == m_options.HaPrefix->toUtf8() + "/status" &&
                    payload == "online") {
                    m_discoveryDone = false;
                    publishDiscovery();
                }
            });
    m_link->start();
    return true;
}

void MqttPublisher::close(int ms)
{
    if (m_closing || !m_link)
        return;
    m_closing = true;
    m_heartbeat.stop();
    // The id is free again: the retained token goes with a clean stop.
    if (ready())
        m_link->publish(topic("owner"), QByteArray(), 1, true);
    const int mid = ready() ? m_link->publish(topic("status"), "offline", 1, true) : -1;
    m_link->finish(mid, ms);
    m_outbox.flush();
}

QString MqttPublisher::statusText() const
{
    if (!m_link)
        return {};
    if (m_link->connected())
        return QStringLiteral("MQTT connected, %1 queued").arg(m_outbox.pending());
    return QStringLiteral("MQTT not connected%1, %2 queued")
        .arg(m_link->lastError().isEmpty() ? QString()
                                           : QStringLiteral(" (%1)").arg(m_link->lastError()))
        .arg(m_outbox.pending());
}

void MqttPublisher::rowStored(qint64 row, qint32, float, const QDateTime &captured)
{
    const MeasurementTable &t = m_session.table();
    Mqtt::Reading r;
    r.Seq = m_outbox.nextSeq();
    r.No = t.no(row);
    r.Time = captured;
    const QString &value = t.text(row, MeasurementTable::FieldValue);
    r.Value = MeasurementTable::numberOf(value);
    r.Display = value.trimmed();
    r.Unit = MeasurementTable::unitName(t.text(row, MeasurementTable::FieldUnit));
    r.Download = m_session.downloading();
    r.Id = m_id;
    if (m_unit.isEmpty() && !r.Unit.isEmpty()) {
        m_unit = r.Unit;
        publishDiscovery();
    }
    if (m_seqRuns.empty() || m_seqRuns.back().Row + m_seqRuns.back().Rows != row ||
        m_seqRuns.back().Seq + quint64(m_seqRuns.back().Rows) != r.Seq) {
        // The table was emptied: its rows are numbered from 0 again.
        while (!m_seqRuns.empty() && m_seqRuns.back().Row >= row)
            m_seqRuns.pop_back();
        if (!m_seqRuns.empty() && m_seqRuns.back().Row + m_seqRuns.back().Rows > row)
            m_seqRuns.back().Rows = row - m_seqRuns.back().Row;
        m_seqRuns.push_back({row, r.Seq, 0});
    }
    ++m_seqRuns.back().Rows;
    Outbox::Message m;
    m.seq = r.Seq;
    m.topic = "reading";
    if (m_options.PayloadFormat == Mqtt::Format::Influx) {
        m.payload = Mqtt::influxLine(r);
        m.extra = Mqtt::readingJson(r);
    } else {
        m.payload = Mqtt::readingJson(r);
    }
    m_outbox.append(m);
    pump();
}

void MqttPublisher::publishEvent(const QByteArray &suffix, const QByteArray &payload, bool retain)
{
    if (!m_outbox.isOpen())
        return;
    Outbox::Message m;
    m.topic = suffix;
    m.payload = payload;
    m.retain = retain;
    m_outbox.append(m);
    pump();
}

std::optional<quint64> MqttPublisher::seqOfRow(qint64 row) const
{
    const auto after = std::upper_bound(m_seqRuns.begin(), m_seqRuns.end(), row,
                                        [](qint64 r, const SeqRun &run) { return r < run.Row; });
    if (after == m_seqRuns.begin())
        return std::nullopt;
    const SeqRun &run = *std::prev(after);
    if (row >= run.Row + run.Rows)
        return std::nullopt;
    return run.Seq + quint64(row - run.Row);
}

void MqttPublisher::connectedChanged(bool connected)
{
    m_mids.clear();
    m_claimed = false;
    m_heartbeat.stop();
    emit brokerChanged(connected, connected ? QString() : m_link->lastError());
    if (!connected) {
        if (!m_closing)
            emit said(QStringLiteral("MQTT: lost the connection to %1 (%2); the readings are "
                                     "kept in the outbox.")
                          .arg(m_options.Url, m_link->lastError()),
                      true);
        return;
    }
    m_everConnected = true;
    // Whose is the id? The token in force arrives before the probe's echo.
    m_link->subscribe(topic("owner"));
    m_link->publish(topic("owner"), ownerPayload(true), 1, false);
}

QByteArray MqttPublisher::ownerPayload(bool probe) const
{
    return QJsonDocument(QJsonObject{
                             {QStringLiteral("token"), QString::fromLatin1(m_token)},
                             {QStringLiteral("host"), QSysInfo::machineHostName()},
                             {QStringLiteral("pid"), qint64(::getpid())},
                             {QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch()},
                             {QStringLiteral("probe"), probe},
                         })
        .toJson(QJsonDocument::Compact);
}

void MqttPublisher::ownerMessage(const QByteArray &payload, bool retained)
{
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    const QByteArray token = o.value(QStringLiteral("token")).toString().toLatin1();
    const bool probe = o.value(QStringLiteral("probe")).toBool();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (token == m_token) {
        if (probe && !retained && !m_claimed && connected())
            claim(); // the echo: nothing of another logger came before it
        return;
    }
    // Another logger's probe: our token answers it. A stale token (a logger that died
    // without clearing it) is taken over.
    if (token.isEmpty() || probe ||
        now - qint64(o.value(QStringLiteral("time")).toDouble()) > FreshMs)
        return;
    m_takeovers.append(now);
    while (!m_takeovers.isEmpty() && now - m_takeovers.first() > TakeoverWindowMs)
        m_takeovers.removeFirst();
    const QString text =
        QStringLiteral("MQTT: another logger is using the id %1 (on %2, process %3): this one "
                       "publishes nothing while it does and tries again later; its readings "
                       "are kept in the outbox. Give each logger its own --mqtt-id.")
            .arg(m_id, o.value(QStringLiteral("host")).toString())
            .arg(o.value(QStringLiteral("pid")).toInteger());
    m_claimed = false; // nothing more goes out on this connection
    m_heartbeat.stop();
    emit said(text, true);
    if (m_takeovers.size() == 1)
        emit trouble(text);
    m_link->standAside(StandAsideSeconds);
    if (m_takeovers.size() >= 3)
        emit idInUse();
}

void MqttPublisher::claim()
{
    m_claimed = true;
    m_everConnected = true;
    m_link->publish(topic("owner"), ownerPayload(false), 1, true);
    m_heartbeat.start();
    // What was in flight on the last connection may not have arrived: all of it again, in
    // order, from the oldest message the broker has not acknowledged.
    m_outbox.rewind();
    emit said(QStringLiteral("MQTT: connected to %1 as %2; %3 messages to deliver.")
                  .arg(m_options.Url, m_id)
                  .arg(m_outbox.pending()),
              false);
    m_link->publish(topic("status"), "online", 1, true);
    m_sentDiagnostics.reset();
    publishDiagnostics(true);
    if (m_options.HaPrefix) {
        m_link->subscribe(m_options.HaPrefix->toUtf8() + "/status");
        m_discoveryDone = false;
        publishDiscovery();
    }
    pump();
}

void MqttPublisher::publishDiscovery()
{
    if (!m_options.HaPrefix || m_discoveryDone || m_unit.isEmpty() || !ready())
        return;
    // Three of the sampling intervals without a reading (at least 10 s) make the temperature
    // unavailable.
    const int expire = m_session.staleAfterSeconds();
    bool sent = true;
    for (const Mqtt::Discovery &d :
         Mqtt::discoveryConfigs(m_id, m_prefix, m_unit, QStringLiteral(TX9_VERSION), expire))
        sent = m_link->publish(m_options.HaPrefix->toUtf8() + '/' + d.Topic + "/config", d.Config,
                               1, true) >= 0 &&
               sent;
    m_discoveryDone = sent;
    publishDiagnostics(true);
}

void MqttPublisher::publishDiagnostics(bool always)
{
    if (!ready())
        return;
    const quint64 outbox = m_outbox.pending();
    const LoggerEngine &e = m_session.engine();
    const bool cable = e.cableConnected();
    if (!always && m_sentDiagnostics && m_sentDiagnostics->first == cable &&
        m_sentDiagnostics->second == outbox)
        return;
    if (m_link->publish(topic("diagnostics"),
                        Mqtt::diagnosticsJson(cable, outbox, m_id, e.lastCable(),
                                              m_session.samplingSeconds(), e.cableLetGo()),
                        1, true) >= 0)
        m_sentDiagnostics = std::make_pair(cable, outbox);
}

void MqttPublisher::acknowledged(int mid)
{
    const auto it = m_mids.constFind(mid);
    if (it == m_mids.cend())
        return;
    m_outbox.acknowledge(it.value());
    m_mids.erase(it);
    pump();
}

void MqttPublisher::pump()
{
    if (m_pumping || m_closing || !ready())
        return;
    m_pumping = true;
    Outbox::Message m;
    while (m_link->connected() && m_link->inFlight() < Window && m_outbox.take(m)) {
        const int mid = m_link->publish(topic(m.topic), m.payload, 1, m.retain);
        if (mid < 0)
            break; // the connection broke: the next one starts from what is unacknowledged
        m_mids.insert(mid, m.index);
        if (m.seq > 0)
            m_lastState = m.extra.isEmpty() ? m.payload : m.extra;
        // The retained state follows the newest reading, once the backlog is out.
        if (m.seq > 0 && !m_outbox.hasUnsent())
            m_link->publish(topic("state"), m_lastState, 1, true);
    }
    m_pumping = false;
}

void MqttPublisher::followAlarms(AlarmMonitor &monitor)
{
    // A retained state from the start: a logger without an alarm says so, rather than
    // leaving the topic empty (Home Assistant's Alarm unknown) or an earlier run's last word.
    if (monitor.activeKinds().isEmpty())
        publishEvent("alarm", Mqtt::alarmOffJson(QDateTime::currentDateTime(), id()), true);
    connect(&monitor, &AlarmMonitor::alarm, this,
            [this, &monitor](const AlarmEvent &e, const QString &unit) {
                publishEvent("alarm", Mqtt::alarmJson(e, unit, id(), monitor.activeKinds()), true);
            });
}
