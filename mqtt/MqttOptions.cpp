#include "mqtt/MqttOptions.h"
#include "session/ExitStatus.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSysInfo>
#include <QUrl>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Mqtt {

namespace {

struct OptionName
{
    const char *name;
    const char *valueName; // nullptr: a flag
};
constexpr OptionName Names[] = {
    {"mqtt", "url"},
    {"mqtt-topic", "prefix"},
    {"mqtt-id", "id"},
    {"mqtt-user", "user"},
    {"mqtt-password-file", "file"},
    {"mqtt-ca", "file"},
    {"mqtt-cert", "file"},
    {"mqtt-key", "file"},
    {"mqtt-format", "format"},
    {"ha-discovery", "prefix"},
};
const QString HaDefault = QStringLiteral("homeassistant");

QString opt(const char *name)
{
    return QString::fromLatin1(name);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        int more = 0;
        char32_t c = *p;
        if (c < 0x80)
            more = 0;
        else if ((c & 0xE0) == 0xC0)
            more = 1, c &= 0x1F;
        else if ((c & 0xF0) == 0xE0)
            more = 2, c &= 0x0F;
        else if ((c & 0xF8) == 0xF0)
            more = 3, c &= 0x07;
        else
            return false;
        ++p;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (*p & 0x3F);
        }
        constexpr char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (c < least[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
    }
    return true;
}

} // namespace

void addOptions(QCommandLineParser &parser)
{
    for (const OptionName &s : Names)
        parser.addOption(QCommandLineOption(opt(s.name), QString(), opt(s.valueName)));
}

QStringList withDefaults(QStringList arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i)
        if (arguments[i] == QLatin1String("--ha-discovery") &&
            (i + 1 >= arguments.size() || arguments[i + 1].startsWith(QLatin1Char('-'))))
            arguments[i] = QStringLiteral("--ha-discovery=") + HaDefault;
    return arguments;
}

QString readUrl(const QString &text, Options &o)
{
    o.Url = text;
    const QUrl url(o.Url, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")) ||
        url.host().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/")))
        return QStringLiteral("--mqtt takes mqtt://host[:port] or mqtts://host[:port], not '%1'")
            .arg(o.Url);
    o.Tls = scheme == QLatin1String("mqtts");
    o.Host = url.host();
    o.Port = url.port(o.Tls ? 8883 : 1883);
    if (o.Port < 1 || o.Port > 65535)
        return QStringLiteral("--mqtt: the port must be 1 to 65535");
    if (!url.userInfo().isEmpty())
        return QStringLiteral("--mqtt takes no user name or password in the URL (every user "
                              "could read it): use --mqtt-user and --mqtt-password-file");
    return {};
}

std::optional<Options> fromParser(const QCommandLineParser &parser, QString *error)
{
    error->clear();
    if (!parser.isSet(opt("mqtt"))) {
        for (const OptionName &s : Names)
            if (parser.isSet(opt(s.name))) {
                *error = QStringLiteral("--%1 needs --mqtt").arg(opt(s.name));
                break;
            }
        return std::nullopt;
    }
    Options o;
    auto fail = [&](const QString &what) {
        *error = what;
        return std::nullopt;
    };
    if (const QString wrong = readUrl(parser.value(opt("mqtt")), o); !wrong.isEmpty())
        return fail(wrong);
    o.Id = parser.value(opt("mqtt-id"));
    if (parser.isSet(opt("mqtt-id")) && (o.Id.isEmpty() || cleanId(o.Id) != o.Id))
        return fail(QStringLiteral("--mqtt-id takes letters, digits, '_' and '-' only"));
    o.TopicPrefix = parser.value(opt("mqtt-topic"));
    while (o.TopicPrefix.endsWith(QLatin1Char('/')))
        o.TopicPrefix.chop(1);
    if (parser.isSet(opt("mqtt-topic")) && o.TopicPrefix.isEmpty())
        return fail(QStringLiteral("--mqtt-topic takes a topic without '+' and '#'"));
    o.User = parser.value(opt("mqtt-user"));
    if (parser.isSet(opt("mqtt-password-file"))) {
        const QString path = parser.value(opt("mqtt-password-file"));
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot read the password file %1: %2").arg(path, f.errorString()));
        QByteArray bytes = f.read(4096);
        while (bytes.endsWith('\n') || bytes.endsWith('\r'))
            bytes.chop(1);
        o.Password = QString::fromUtf8(
            bytes.left(bytes.indexOf('\n') < 0 ? bytes.size() : bytes.indexOf('\n')));
    } else {
        o.Password = qEnvironmentVariable("TX9_MQTT_PASSWORD");
    }
    if (!o.Password.isEmpty() && o.User.isEmpty())
        return fail(QStringLiteral("a password needs --mqtt-user"));
    o.CaFile = parser.value(opt("mqtt-ca"));
    o.CertFile = parser.value(opt("mqtt-cert"));
    o.KeyFile = parser.value(opt("mqtt-key"));
    if ((!o.CaFile.isEmpty() || !o.CertFile.isEmpty()) && !o.Tls)
        return fail(QStringLiteral("--mqtt-ca and --mqtt-cert need an mqtts:// URL"));
    if (o.CertFile.isEmpty() != o.KeyFile.isEmpty())
        return fail(QStringLiteral("--mqtt-cert and --mqtt-key go together"));
    for (const QString &file : {o.CaFile, o.CertFile, o.KeyFile})
        if (!file.isEmpty() && !QFile::exists(file))
            return fail(QStringLiteral("no file %1").arg(file));
    const QString format = parser.value(opt("mqtt-format"));
    if (format == QLatin1String("influx"))
        o.PayloadFormat = Format::Influx;
    else if (!format.isEmpty() && format != QLatin1String("json"))
        return fail(QStringLiteral("--mqtt-format takes json or influx"));
    if (parser.isSet(opt("ha-discovery"))) {
        QString prefix = parser.value(opt("ha-discovery"));
        while (prefix.endsWith(QLatin1Char('/')))
            prefix.chop(1);
        o.HaPrefix = prefix.isEmpty() ? HaDefault : prefix;
    }
    // Every topic the run will publish to is checked now: a broker would refuse it at each
    // connection, and nothing would ever be delivered. The id here stands for the longest
    // default one (the host name and a cable's serial number).
    const QString id = o.Id.isEmpty() ? defaultId(QString(64, QLatin1Char('x'))) : o.Id;
    const QStringList topics = topicsOf(o, id);
    for (qsizetype i = 0; i < topics.size(); ++i)
        if (const QString why = topicProblem(topics[i]); !why.isEmpty()) {
            const bool ha = i >= 5; // after the prefix's own topics
            QString given = ha ? *o.HaPrefix : o.TopicPrefix;
            if (given.size() > 60)
                given = given.left(60) + QStringLiteral("...");
            for (qsizetype c = given.size() - 1; c >= 0; --c)
                if (given[c].unicode() < 0x20 || given[c].unicode() == 0x7f)
                    given.replace(
                        c, 1,
                        QStringLiteral("\\x%1").arg(given[c].unicode(), 2, 16, QLatin1Char('0')));
            return fail(
                QStringLiteral("%1 '%2' cannot be used: %3")
                    .arg(ha ? QStringLiteral("--ha-discovery") : QStringLiteral("--mqtt-topic"),
                         given, why));
        }
    return o;
}

bool parseWindowArguments(const QStringList &arguments, std::optional<Options> *options,
                          QString *error)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(withDefaults(arguments))) {
        // Options of Qt and of the window are checked elsewhere; only ours count here.
        if (parser.unknownOptionNames().size() == 0) {
            *error = parser.errorText();
            return false;
        }
    }
    *options = fromParser(parser, error);
    return error->isEmpty();
}

QString helpText()
{
    return QStringLiteral(
        "Publishing to an MQTT broker, with or without --headless:\n"
        "      --mqtt URL      mqtt://host[:port] (1883) or mqtts://host[:port] (8883,\n"
        "                      TLS): every stored reading goes to the broker, through\n"
        "                      an outbox on disk that keeps it until the broker has it\n"
        "      --mqtt-topic P  topic prefix (default tx9-logger/<id>)\n"
        "      --mqtt-id ID    the logger's client id and <id> (letters, digits, _ and -;\n"
        "                      default the host name and the cable's serial number)\n"
        "      --mqtt-user U   user name\n"
        "      --mqtt-password-file FILE\n"
        "                      the password's file (else TX9_MQTT_PASSWORD)\n"
        "      --mqtt-ca FILE  the CA certificate to trust (default the system's)\n"
        "      --mqtt-cert FILE, --mqtt-key FILE\n"
        "                      a client certificate and its key\n"
        "      --mqtt-format F json (default) or influx (InfluxDB line protocol)\n"
        "      --ha-discovery[=PREFIX]\n"
        "                      announce the sensor to Home Assistant (homeassistant)\n"
        "\n");
}

std::optional<int> refuseRawTopics(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        for (const char *name : {"--mqtt-topic", "--ha-discovery", "--mqtt-id"}) {
            const size_t n = std::strlen(name);
            const char *value = nullptr;
            if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=')
                value = argv[i] + n + 1;
            else if (std::strcmp(argv[i], name) == 0 && i + 1 < argc)
                value = argv[i + 1];
            if (value && !validUtf8(value)) {
                std::fprintf(stderr, "%s: %s is not valid UTF-8, which an MQTT topic must be\n",
                             argc > 0 ? argv[0] : "tx9-logger", name);
                return int(Exit::Usage);
            }
        }
    }
    return std::nullopt;
}

QString topicProblem(const QString &topic)
{
    if (topic.isEmpty())
        return QStringLiteral("it is empty");
    for (const QChar c : topic) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            return QStringLiteral("it holds a control character (U+%1)")
                .arg(c.unicode(), 4, 16, QLatin1Char('0'));
        if (c == QLatin1Char('+') || c == QLatin1Char('#'))
            return QStringLiteral("it holds '%1', which only a subscription may").arg(c);
    }
    if (topic.toUtf8().size() > 65535)
        return QStringLiteral("it is longer than 65,535 bytes");
    // Topics beginning with '$' are the broker's own ($SYS/...): a client's publishes there
    // are denied, and nothing would ever be delivered.
    if (topic.startsWith(QLatin1Char('$')))
        return QStringLiteral("topics beginning with '$' are the broker's own");
    return {};
}

QStringList topicsOf(const Options &o, const QString &id)
{
    const QString prefix =
        o.TopicPrefix.isEmpty() ? QStringLiteral("tx9-logger/") + id : o.TopicPrefix;
    QStringList topics;
    for (const char *suffix : {"reading", "state", "status", "alarm", "owner"})
        topics << prefix + QLatin1Char('/') + QLatin1String(suffix);
    if (o.HaPrefix)
        topics << *o.HaPrefix + QStringLiteral("/sensor/") + id +
                      QStringLiteral("/temperature/config")
               << *o.HaPrefix + QStringLiteral("/status");
    return topics;
}

const QList<Headless::WindowOption> &windowOptions()
{
    static const QList<Headless::WindowOption> list = [] {
        QList<Headless::WindowOption> l;
        // --ha-discovery's prefix may be left out, so a window takes it as --ha-discovery=P.
        for (const OptionName &s : Names)
            l.append({s.name, std::strcmp(s.name, "ha-discovery") != 0, nullptr});
        return l;
    }();
    return list;
}

QString cleanId(const QString &text)
{
    QString id;
    for (const QChar c : text)
        id += (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('_') ||
                      c == QLatin1Char('-')
                  ? c
                  : QLatin1Char('-');
    return id;
}

QString defaultId(const QString &cableSerial)
{
    QString host = QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0);
    if (host.isEmpty())
        host = QStringLiteral("tx9");
    const QString serial = cableSerial.trimmed();
    return cleanId(serial.isEmpty() ? host : host + QLatin1Char('-') + serial);
}

} // namespace Mqtt
