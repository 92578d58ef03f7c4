#include "mqtt/LoggerWatch.h"

#include "alarms/AlarmRules.h"
#include "mqtt/MqttLink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <unistd.h>

LoggerWatch::LoggerWatch(QObject *parent) : QObject(parent) {}

LoggerWatch::~LoggerWatch() = default;

void LoggerWatch::start(const Mqtt::Options &options, const QString &filter)
{
    stop();
    m_filter = filter.toUtf8();
    // A client id of its own, so that it never takes a logger's connection over.
    MqttLink::Config c =
        MqttLink::Config::of(options, QStringLiteral("tx9-watch-%1-%2")
                                          .arg(Mqtt::cleanId(QSysInfo::machineHostName()))
                                          .arg(::getpid()));
    c.CleanSession = true;
    m_link = std::make_unique<MqttLink>(c, this);
    m_everConnected = false;
    m_lostAtMs = 0;
    connect(m_link.get(), &MqttLink::connectedChanged, this, [this](bool on) {
        // A clean session: the filter is subscribed again at each connection.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (on)
            m_link->subscribe(m_filter);
        emit connectedChanged(on);
        if (on && std::exchange(m_everConnected, true) && m_lostAtMs > 0)
            emit reconnected(now - std::exchange(m_lostAtMs, 0));
        if (!on && m_everConnected)
            m_lostAtMs = now;
    });
    connect(m_link.get(), &MqttLink::messageArrived, this,
            [this](const QByteArray &topic, const QByteArray &payload, bool retained) {
                message(topic, payload, retained, QDateTime::currentMSecsSinceEpoch());
            });
    m_link->start();
}

void LoggerWatch::stop()
{
    if (m_link)
        m_link->finish(-1, 1000);
    m_link.reset();
}

bool LoggerWatch::connected() const
{
    return m_link && m_link->connected();
}

QString LoggerWatch::lastError() const
{
    return m_link ? m_link->lastError() : QString();
}

namespace {

// A field as it is kept: cut, with an ellipsis, past the longest a logger sends.
QString cut(const QString &text)
{
    return text.size() <= LoggerWatch::MaxText
               ? text
               : text.left(LoggerWatch::MaxText - 1) + QChar(0x2026);
}

} // namespace

int LoggerWatch::indexOf(const QString &prefix)
{
    if (const auto it = m_index.constFind(prefix); it != m_index.cend())
        return it.value();
    if (int(m_loggers.size()) >= MaxLoggers) {
        ++m_notListed;
        return -1;
    }
    Logger l;
    l.Prefix = cut(prefix);
    l.Id = cut(prefix.section(QLatin1Char('/'), -1));
    m_loggers.push_back(std::move(l));
    m_index.insert(prefix, int(m_loggers.size() - 1));
    return int(m_loggers.size() - 1);
}

void LoggerWatch::message(const QByteArray &topic, const QByteArray &payload, bool retained,
                          qint64 nowMs)
{
    const qsizetype slash = topic.lastIndexOf('/');
    if (slash <= 0)
        return;
    if (payload.size() > MaxMessage || topic.count('/') >= MaxDepth || topic.size() > 512) {
        ++m_dropped; // no logger's: it writes less than 1 KiB under a topic of a few levels
        return;
    }
    const QByteArray kind = topic.mid(slash + 1);
    static const QList<QByteArray> known{"reading", "state", "status", "alarm", "diagnostics"};
    if (!known.contains(kind))
        return;
    const QString prefix = QString::fromUtf8(topic.left(slash));
    if (kind == "status") {
        if (payload != "online" && payload != "offline")
            return;
        const int index = indexOf(prefix);
        if (index < 0)
            return;
        m_loggers[size_t(index)].Online = payload == "online";
        emit changed(index);
        return;
    }
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    if (o.isEmpty())
        return; // not a message of a logger's (a line protocol reading, another program's)
    const int index = indexOf(prefix);
    if (index < 0)
        return;
    Logger &l = m_loggers[size_t(index)];
    if (o.value(QStringLiteral("id")).isString())
        l.Id = cut(o.value(QStringLiteral("id")).toString());
    if (kind == "reading" || kind == "state") {
        const QDateTime time =
            QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        qint64 ms = time.isValid() ? time.toMSecsSinceEpoch() : nowMs;
        // Dated well ahead of this clock: its logger's clock is ahead (or the message is
        // forged). It counts as arriving now, so that the readings after it are still taken.
        const bool ahead = ms > nowMs + AheadMs;
        if (ahead)
            ms = qMax(nowMs, l.ReadingMs);
        if (ms < l.ReadingMs)
            return; // the retained state after the live readings it stood for
        l.ClockAhead = ahead;
        const QJsonValue v = o.value(QStringLiteral("value"));
        l.Value = v.isDouble() ? std::optional<double>(v.toDouble()) : std::nullopt;
        l.Display = cut(o.value(QStringLiteral("display")).toString());
        if (l.Display.isEmpty() && l.Value)
            l.Display = QString::number(*l.Value);
        const QString unit = cut(o.value(QStringLiteral("unit")).toString());
        if (unit != l.Unit)
            l.Unit = unit; // else the one copy is shared by its readings
        const bool fresh = ms > l.ReadingMs;
        l.ReadingMs = ms;
        if (fresh) {
            const QJsonValue no = o.value(QStringLiteral("no"));
            if (qsizetype(l.Readings.size()) >= MaxReadings) {
                l.Readings.pop_front();
                ++l.ReadingsDropped;
            }
            l.Readings.push_back({ms,
                                  no.isDouble() ? std::optional<qint32>(no.toInt()) : std::nullopt,
                                  l.Display, l.Unit});
            emit readingArrived(index);
        }
    } else if (kind == "alarm") {
        QStringList active;
        // Each kind by its one name (an earlier logger's "none" is "no reading").
        auto named = [](const QString &name) {
            const std::optional<AlarmKind> k = AlarmRules::kindNamed(name);
            return k ? AlarmRules::kindName(*k) : name;
        };
        const QJsonValue a = o.value(QStringLiteral("active"));
        if (a.isArray()) {
            for (const QJsonValue &k : a.toArray())
                if (active.size() < MaxAlarms)
                    active << cut(named(k.toString()));
        } else if (o.value(QStringLiteral("state")).toString() == QLatin1String("start")) {
            active << cut(named(o.value(QStringLiteral("alarm")).toString())); // before "active"
        }
        const QStringList before = std::exchange(l.Alarms, active);
        l.AlarmDetail = o.value(QStringLiteral("detail")).toString().left(4 * MaxText);
        const QString detail = l.AlarmDetail;
        if (!retained) {
            for (const QString &k : active)
                if (!before.contains(k))
                    emit alarmChanged(index, k, true, detail);
            for (const QString &k : before)
                if (!active.contains(k))
                    emit alarmChanged(index, k, false, detail);
        }
    } else if (kind == "diagnostics") {
        if (o.contains(QStringLiteral("cable_connected")))
            l.CableConnected = o.value(QStringLiteral("cable_connected")).toBool();
        l.Disconnected = o.value(QStringLiteral("disconnected")).toBool();
        l.Outbox = quint64(o.value(QStringLiteral("outbox")).toInteger());
        if (o.value(QStringLiteral("cable")).isString())
            l.Cable = cut(o.value(QStringLiteral("cable")).toString());
        if (o.value(QStringLiteral("interval")).isDouble())
            l.IntervalSeconds = o.value(QStringLiteral("interval")).toInt();
    }
    emit changed(index);
}

qint64 LoggerWatch::staleAfterMs(const Logger &l)
{
    return l.IntervalSeconds < 0 ? 30000 : qMax<qint64>(10000, 3000 * qint64(l.IntervalSeconds));
}

QStringList LoggerWatch::troubles(const Logger &l, qint64 nowMs)
{
    QStringList t;
    if (!l.Alarms.isEmpty())
        t << QStringLiteral("alarm: %1").arg(l.Alarms.join(QStringLiteral(", ")));
    if (l.Online == false)
        t << QStringLiteral("offline");
    if (l.ClockAhead)
        t << QStringLiteral("clock ahead");
    if (l.letGo())
        return t; // let go on purpose: nothing is due from it (an alarm would be said above)
    if (l.CableConnected == false)
        t << QStringLiteral("cable not connected");
    if (l.ReadingMs == 0)
        t << QStringLiteral("no reading yet");
    else if (nowMs - l.ReadingMs > staleAfterMs(l))
        t << QStringLiteral("no reading for %1 s").arg((nowMs - l.ReadingMs) / 1000);
    return t;
}
