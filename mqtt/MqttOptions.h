#pragma once
// How a run publishes to an MQTT broker: the --mqtt options, the same with and without
// --headless (the texts of the messages are in MqttPayloads.h).

#include "mqtt/MqttPayloads.h"
#include "session/WindowOption.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

class QCommandLineParser;

namespace Mqtt {

enum class Format
{
    Json,
    Influx
};

struct Options
{
    QString Url; // as given
    QString Host;
    int Port = 1883;
    bool Tls = false;
    QString TopicPrefix; // empty: tx9-logger/<id>
    QString Id;          // empty: the host name and the cable's serial number
    QString User;
    QString Password;
    QString CaFile, CertFile, KeyFile;
    Format PayloadFormat = Format::Json;
    std::optional<QString> HaPrefix; // Home Assistant discovery
};

// The broker's URL (mqtt://host[:port], mqtts://host[:port]) into o: its Url, Host, Port and
// Tls. What is wrong with it (as --mqtt's error); empty when nothing is.
QString readUrl(const QString &url, Options &o);
// The options, for a parser that takes them with others.
void addOptions(QCommandLineParser &parser);
// What the parsed command line asks: none without --mqtt; error says what is wrong (then
// nothing is returned either). Reads the password file (or TX9_MQTT_PASSWORD).
std::optional<Options> fromParser(const QCommandLineParser &parser, QString *error);
// --ha-discovery without a prefix is given one, so that a parser that wants a value gets it.
QStringList withDefaults(QStringList arguments);
// For a program with a window: the options of the command line (program name first, the
// window's other options already taken off). Returns false with error when they are wrong.
bool parseWindowArguments(const QStringList &arguments, std::optional<Options> *options,
                          QString *error);
QString helpText();
// The topic options as the command line gave them, before they become text: a value that is
// not valid UTF-8 is refused (on standard error, status 2) before anything starts.
std::optional<int> refuseRawTopics(int argc, char **argv);
// What is wrong with a topic the logger would publish to (an MQTT topic name: valid UTF-8 of
// at most 65,535 bytes, no control characters, no '+' or '#'); empty when nothing is.
QString topicProblem(const QString &topic);
// Every topic the options make the logger publish to, for the id.
QStringList topicsOf(const Options &options, const QString &id);
// The options as a window program checks them before any window exists.
const QList<Headless::WindowOption> &windowOptions();

// Only [A-Za-z0-9_-]: anything else becomes '-'.
QString cleanId(const QString &text);
// The host name, with the cable's serial number when it has one.
QString defaultId(const QString &cableSerial);

} // namespace Mqtt
