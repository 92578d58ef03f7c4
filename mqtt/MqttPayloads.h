#pragma once
// The texts of the messages a logger publishes.

#include "alarms/AlarmRules.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

namespace Mqtt {

// One stored reading, as it is published.
struct Reading
{
    quint64 Seq = 0;
    std::optional<qint32> No;
    std::optional<QDateTime> Time;
    std::optional<double> Value;
    QString Display; // the value as the panel shows it
    QString Unit;    // "°C" or "°F" (or what the meter sent)
    bool Download = false;
    QString Id;
};
QByteArray readingJson(const Reading &r);
// An alarm's start or end, for <prefix>/alarm.
QByteArray alarmJson(const AlarmEvent &event, const QString &unit, const QString &id,
                     const QStringList &active);
// No alarm on, for <prefix>/alarm when publishing starts: the same fields, "state":"off",
// "alarm" null and "active" empty, so that a retained state is there from the start.
QByteArray alarmOffJson(const QDateTime &time, const QString &id);
// A note made, changed or removed, for <prefix>/note: on a reading (its seq and No) or at a
// moment; a note changed again comes with the same note id.
struct NoteMessage
{
    qint64 NoteId = 0;
    std::optional<QDateTime> Time;
    std::optional<quint64> Seq;
    std::optional<qint32> No;
    QString Text;
    bool Removed = false;
    QString Id;
};
QByteArray noteJson(const NoteMessage &n);
// The seal of a recording or its data file, for <prefix>/seal: its rows, its hash, when, the
// data file's name (null for the recording's own).
QByteArray sealJson(qint64 rows, const QByteArray &hash, const QDateTime &time, const QString &file,
                    const QString &id);
QByteArray influxLine(const Reading &r);
// ISO 8601 with milliseconds and the offset: 2026-12-09T14:03:07.512+01:00.
QString isoTime(const QDateTime &t);
// The Home Assistant discovery configs of a logger, one device with its entities: the
// temperature (which turns unavailable once no reading came for expireSeconds), the alarm
// state (a problem, with the alarm's kind as an attribute), and two diagnostic entities, the
// cable's connection and the outbox's depth. Each: the discovery topic's component and
// object ("sensor/<id>/temperature"), and its config.
struct Discovery
{
    QByteArray Topic; // after the discovery prefix, before "/config"
    QByteArray Config;
};
QList<Discovery> discoveryConfigs(const QString &id, const QString &prefix, const QString &unit,
                                  const QString &version, int expireSeconds);
// What <prefix>/diagnostics holds (retained): the cable's connection and the outbox's depth,
// the cable's ID and the sampling interval (s; 0: every reading), for whoever watches; and
// whether a cable not connected was let go on purpose ("disconnected"), not lost.
QByteArray diagnosticsJson(bool cableConnected, quint64 outbox, const QString &id,
                           const QString &cable, int intervalSeconds, bool letGo = false);
// A text as a JSON string, quotes included.
QByteArray jsonString(const QString &text);

} // namespace Mqtt
