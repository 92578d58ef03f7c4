// The command line of the program: the options of --headless, the help and version texts,
// and what a program that opens a window must check before any window exists.

#include "headless/Headless.h"

#include "alarms/AlarmRules.h"
#include "headless/OptionTable.h"
#include "output/ErrWriter.h"
#include "output/SafeFile.h"
#include "outputs/Metrics.h"
#include "proof/Signer.h"
#include "proof/Trail.h"
#include "usb/CableIds.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <cmath>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace Headless {

namespace {

// The options by the names the parsing below uses them by.
struct OptionSet
{
    // The mode itself; every other option as the table declares it.
    QCommandLineOption headless{QStringLiteral("headless"), QString()};
    QCommandLineOption output = findOption(QStringLiteral("output"))->option();
    QCommandLineOption toStdout = findOption(QStringLiteral("stdout"))->option();
    QCommandLineOption download = findOption(QStringLiteral("download"))->option();
    QCommandLineOption interval = findOption(QStringLiteral("interval"))->option();
    QCommandLineOption noRepeat = findOption(QStringLiteral("no-repeat"))->option();
    QCommandLineOption limit = findOption(QStringLiteral("limit"))->option();
    QCommandLineOption duration = findOption(QStringLiteral("duration"))->option();
    QCommandLineOption device = findOption(QStringLiteral("device"))->option();
    QCommandLineOption list = findOption(QStringLiteral("list"))->option();
    QCommandLineOption quiet = findOption(QStringLiteral("quiet"))->option();
    QCommandLineOption help = findOption(QStringLiteral("help"))->option();
    QCommandLineOption format = findOption(QStringLiteral("format"))->option();
    QCommandLineOption high = findOption(QStringLiteral("high"))->option();
    QCommandLineOption low = findOption(QStringLiteral("low"))->option();
    QCommandLineOption hold = findOption(QStringLiteral("hold"))->option();
    QCommandLineOption hysteresis = findOption(QStringLiteral("hysteresis"))->option();
    QCommandLineOption summary = findOption(QStringLiteral("summary"))->option();
    QCommandLineOption overwrite = findOption(QStringLiteral("overwrite"))->option();
    QCommandLineOption append = findOption(QStringLiteral("append"))->option();
    QCommandLineOption wait = findOption(QStringLiteral("wait"))->option();
    QCommandLineOption report = findOption(QStringLiteral("report"))->option();
    QCommandLineOption noIdLock = findOption(QStringLiteral("no-id-lock"))->option();
    QCommandLineOption signingKey = findOption(QStringLiteral("signing-key"))->option();
    QCommandLineOption signAs = findOption(QStringLiteral("sign-as"))->option();
    QCommandLineOption meaning = findOption(QStringLiteral("meaning"))->option();
    QCommandLineOption comment = findOption(QStringLiteral("comment"))->option();
};

} // namespace

QString helpText(const QString &program, const QString &extraHelp)
{
    return QStringLiteral(
               "Usage: %1 [--headless [options]]\n"
               "\n"
               "Without --headless the program opens its window. With it, it logs the\n"
               "thermometer's readings without a display until it is stopped (Ctrl+C,\n"
               "SIGTERM, SIGHUP), a limit is reached, or a download has ended.\n"
               "\n"
               "%2"
               "%4"
               "\n"
               "%3"
               "Exit status: 0 stopped as asked, 1 other failure, 2 wrong command line,\n"
               "3 no cable, 4 permission denied, 5 the data file cannot be created (or\n"
               "already holds something, without --overwrite or --append),\n"
               "6 writing the data file failed, or MQTT messages could not be kept in the\n"
               "outbox (the readings stay in the journal),\n"
               "7 the MQTT broker refused the configuration before the run ever connected\n"
               "(user name, password, certificate), the logger id's outbox is in use, or\n"
               "another logger took the id over three times within ten minutes,\n"
               "8 a download was interrupted (the readings that came are kept),\n"
               "10 the cable asked for is in use by another logger (its PID is said),\n"
               "11 the lock of the cable's ID cannot be taken (the lock folder or file is\n"
               "not usable; --no-id-lock goes on without it).\n"
               "\n"
               "Files that prove themselves: each data file is signed (FILE.sig, an SSH\n"
               "signature of namespace tx9-logger) and sealed with its audit trail\n"
               "(FILE.trail).\n"
               "  %1 --verify [--allowed-signers FILE] [--seal HASH@ROWS] FILE...\n"
               "      checks each file: exit 0 all intact, 11 one was changed or its\n"
               "      signature or seal does not hold, 12 one has no signature, 9 one\n"
               "      cannot be read, 2 wrong command line\n"
               "  %1 --public-key [--signing-key FILE]\n"
               "      prints the line for ssh-keygen's allowed_signers file\n")
        .arg(program, extraHelp, Mqtt::helpText(), optionsHelp());
}

QString versionText(const QString &program)
{
    return QStringLiteral("%1 %2\n").arg(program, QStringLiteral(TX9_VERSION));
}

QString windowOptionsHelp(const QList<WindowOption> &windowOptions)
{
    if (windowOptions.isEmpty())
        return {};
    QStringList left;
    qsizetype width = 0;
    for (const WindowOption &o : windowOptions) {
        left << QStringLiteral("      --%1%2")
                    .arg(QLatin1String(o.name), o.takesValue ? QStringLiteral(" N") : QString());
        width = qMax(width, left.last().size() + 2);
    }
    QString text = QStringLiteral("Options of this program, with or without --headless:\n");
    for (qsizetype i = 0; i < windowOptions.size(); ++i)
        if (windowOptions[i].help)
            text += left[i].leftJustified(width) + QLatin1String(windowOptions[i].help) +
                    QLatin1Char('\n');
    return text + QLatin1Char('\n');
}

std::optional<int> unitNameCommand(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--systemd-unit") != 0)
        return std::nullopt;
    const QString id =
        argc >= 3 ? QString::fromLocal8Bit(argv[2]) : qEnvironmentVariable("TX9_CABLE_ID");
    const QByteArray text = id.isEmpty() || argc > 3
                                ? QByteArray("usage: tx9-logger --systemd-unit ID (or the ID in "
                                             "TX9_CABLE_ID)\n")
                                : (CableIds::unitName(id) + QLatin1Char('\n')).toUtf8();
    const int fd = id.isEmpty() || argc > 3 ? 2 : 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, text.constData(), size_t(text.size()));
    return fd == 1 ? int(Ok) : int(Usage);
}

std::optional<int> beforeWindow(int argc, char **argv, const QList<WindowOption> &windowOptions)
{
    const QString program =
        QFileInfo(QString::fromLocal8Bit(argc > 0 ? argv[0] : "tx9-logger")).fileName();
    // Qt's own options, which QApplication takes off the command line.
    static const char *const QtWithValue[] = {
        "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
        "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
        "style",       "stylesheet",         "title",         "name",    "qmljsdebugger"};
    static const char *const QtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    auto say = [](int fd, const QString &text) {
        const QByteArray bytes = text.toLocal8Bit();
        [[maybe_unused]] const ssize_t n = ::write(fd, bytes.constData(), size_t(bytes.size()));
    };
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--version")) {
            say(1, versionText(program));
            return 0;
        }
    }
    bool platformGiven = false;
    for (int i = 1; i < argc; ++i) {
        QString arg = QString::fromLocal8Bit(argv[i]);
        QString name = arg;
        while (name.startsWith(QLatin1Char('-')))
            name.remove(0, 1);
        const qsizetype eq = name.indexOf(QLatin1Char('='));
        const bool inlineValue = eq >= 0;
        if (inlineValue)
            name.truncate(eq);
        bool known = false, value = false;
        // Those the window takes too (--device chooses its cable).
        if (const OptionEntry *o = findOption(name);
            o && o->Takes == OptionEntry::Where::Both && arg.startsWith(QLatin1String("--"))) {
            known = true;
            value = o->takesValue();
        }
        if (arg.startsWith(QLatin1String("--"))) {
            for (const QList<WindowOption> *list : {&windowOptions, &Mqtt::windowOptions()})
                for (const WindowOption &o : *list)
                    if (name == QLatin1String(o.name)) {
                        known = true;
                        value = o.takesValue;
                    }
        }
        if (!known && arg.startsWith(QLatin1Char('-'))) {
            for (const char *q : QtWithValue)
                if (name == QLatin1String(q))
                    known = value = true;
            for (const char *q : QtFlags)
                if (name == QLatin1String(q))
                    known = true;
        }
        if (const OptionEntry *o = findOption(name); !known && arg.startsWith(QLatin1Char('-')) &&
                                                     o &&
                                                     o->Takes == OptionEntry::Where::Headless) {
            say(2, QStringLiteral("%1: '%2' is an option of --headless (logging without the "
                                  "window): add --headless, or leave it out to open the "
                                  "window. See '%1 --help'.\n")
                       .arg(program, arg));
            return int(Usage);
        }
        if (!known) {
            say(2, QStringLiteral("%1: unknown option '%2'\nUsage: %1 [--headless [options]] "
                                  "[--version]; see '%1 --help'.\n")
                       .arg(program, arg));
            return int(Usage);
        }
        if (value && !inlineValue && ++i >= argc) {
            say(2, QStringLiteral("%1: option '%2' needs a value; see '%1 --help'.\n")
                       .arg(program, arg));
            return int(Usage);
        }
        if (name == QLatin1String("platform"))
            platformGiven = true;
    }
    if (!platformGiven && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        say(2, QStringLiteral("%1: there is no display to open the window on (DISPLAY is not "
                              "set); '%1 --headless' logs without one.\n")
                   .arg(program));
        return int(Failure);
    }
    return std::nullopt;
}

Parsed parse(const QStringList &arguments, const QString &extraHelp)
{
    Parsed result;
    const QString program =
        arguments.isEmpty() ? QStringLiteral("tx9-logger") : QFileInfo(arguments[0]).fileName();
    OptionSet o;
    QCommandLineParser parser;
    parser.addOptions({o.headless,  o.output,   o.toStdout, o.download, o.interval,   o.noRepeat,
                       o.limit,     o.duration, o.device,   o.list,     o.quiet,      o.help,
                       o.format,    o.high,     o.low,      o.hold,     o.hysteresis, o.summary,
                       o.overwrite, o.append,   o.wait,     o.report,   o.noIdLock,   o.signingKey,
                       o.signAs,    o.meaning,  o.comment});
    // The outputs' own options, as each declares itself.
    for (const OptionEntry &entry : options())
        if (entry.Apply)
            parser.addOption(entry.option());
    Mqtt::addOptions(parser);
    auto usage = [&](const QString &what) {
        result.status = Usage;
        result.message = QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(program, what);
        return result;
    };
    const QStringList args = Mqtt::withDefaults(arguments);
    if (!parser.parse(args)) {
        // Said as it was typed, dashes and all.
        if (!parser.unknownOptionNames().isEmpty()) {
            const QString name = parser.unknownOptionNames().constFirst();
            for (const QString &a : args.mid(1)) {
                QString bare = a.section(QLatin1Char('='), 0, 0);
                const QString typed = bare;
                while (bare.startsWith(QLatin1Char('-')))
                    bare.remove(0, 1);
                if (a.startsWith(QLatin1Char('-')) && bare == name)
                    return usage(QStringLiteral("unknown option '%1'").arg(typed));
            }
        }
        return usage(parser.errorText());
    }
    if (parser.isSet(o.help)) {
        result.message = helpText(program, extraHelp);
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'")
                         .arg(parser.positionalArguments().constFirst()));
    Options opt;
    opt.Output = parser.value(o.output);
    if (parser.isSet(o.output) && opt.Output.isEmpty())
        return usage(QStringLiteral("--output needs a file name"));
    opt.ToStdout = parser.isSet(o.toStdout) || opt.Output.isEmpty();
    if (parser.isSet(o.overwrite) && parser.isSet(o.append))
        return usage(QStringLiteral("--overwrite and --append cannot both be given"));
    if (((parser.isSet(o.overwrite) && !parser.isSet(o.report)) || parser.isSet(o.append)) &&
        opt.Output.isEmpty())
        return usage(QStringLiteral("--%1 is for the file of --output")
                         .arg(parser.isSet(o.append) ? QStringLiteral("append")
                                                     : QStringLiteral("overwrite")));
    opt.IfExists = parser.isSet(o.append)      ? Existing::Append
                   : parser.isSet(o.overwrite) ? Existing::Overwrite
                                               : Existing::Refuse;
    opt.Wait = parser.isSet(o.wait);
    opt.NoIdLock = parser.isSet(o.noIdLock);
    opt.Download = parser.isSet(o.download);
    opt.Repeat = !parser.isSet(o.noRepeat);
    opt.List = parser.isSet(o.list);
    opt.Quiet = parser.isSet(o.quiet);
    opt.Device = parser.value(o.device);
    bool ok = true;
    if (parser.isSet(o.interval)) {
        opt.Interval = parser.value(o.interval).toInt(&ok);
        if (!ok || opt.Interval < 0)
            return usage(QStringLiteral("--interval takes a whole number of seconds, 0 or more"));
    }
    if (parser.isSet(o.limit)) {
        const qint64 n = parser.value(o.limit).toLongLong(&ok);
        if (!ok || n < 1 || n > std::numeric_limits<qint32>::max() - 1)
            return usage(QStringLiteral("--limit takes a number of readings, 1 or more"));
        opt.Limit = n;
    }
    if (parser.isSet(o.duration)) {
        const double s = parser.value(o.duration).toDouble(&ok);
        if (!ok || !(s > 0) || s > 1e9)
            return usage(QStringLiteral("--duration takes a number of seconds above 0"));
        opt.Duration = s;
    }
    if (parser.isSet(o.format)) {
        const QString f = parser.value(o.format);
        if (f != QLatin1String("csv") && f != QLatin1String("text"))
            return usage(QStringLiteral("--format takes text or csv"));
        opt.Csv = f == QLatin1String("csv");
        if (opt.Csv && opt.Output.isEmpty())
            return usage(QStringLiteral("--format csv is for the file of --output"));
        if (opt.Csv && opt.Output.endsWith(QLatin1String(".xml"), Qt::CaseInsensitive))
            return usage(QStringLiteral("--format csv would write CSV into %1, whose name "
                                        "says XML data packet: name it .csv, or leave --format "
                                        "out for the packet")
                             .arg(opt.Output));
    }
    auto given = [&](const QCommandLineOption &option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    AlarmSettings alarms;
    if (const QString wrong = readAlarmOptions(given(o.high), given(o.low), given(o.hold),
                                               given(o.hysteresis), alarms);
        !wrong.isEmpty())
        return usage(wrong);
    opt.High = alarms.High;
    opt.Low = alarms.Low;
    opt.Hold = alarms.HoldSeconds;
    opt.Hysteresis = alarms.Hysteresis;
    opt.LimitUnit = alarms.Unit;
    // What the table's options give the outputs themselves.
    for (const OptionEntry &entry : options())
        if (entry.Apply && parser.isSet(entry.name()))
            entry.Apply(opt.Outputs, parser.value(entry.name()));
    if (const QString wrong = checkOutputOptions(opt.Outputs); !wrong.isEmpty())
        return usage(wrong);
    if (parser.isSet(o.signingKey)) {
        // A key of the user's own that cannot sign is said now, not after a run of unsigned
        // files.
        Signer::useKeyFile(parser.value(o.signingKey));
        QString why;
        if (!Signer::key(&why))
            return usage(QStringLiteral("--signing-key: %1").arg(why));
        if (const QString notice = Signer::notice(); !notice.isEmpty())
            ErrWriter::say(QStringLiteral("tx9-logger: --signing-key: %1").arg(notice));
    }
    opt.Summary = parser.value(o.summary);
    opt.Report = parser.value(o.report);
    if (const QString wrong =
            SignOff::read(given(o.signAs), given(o.meaning), given(o.comment), opt.Signed);
        !wrong.isEmpty())
        return usage(wrong);
    if (opt.Signed && opt.Report.isEmpty())
        return usage(QStringLiteral("--sign-as signs the report: it needs --report"));
    opt.ReplaceReport = parser.isSet(o.overwrite);
    // No output is written over another: each is compared with the others by its file (the
    // same device and inode), or by its folder and name while it does not exist yet.
    const QList<std::pair<QString, QString>> outputs{
        {QStringLiteral("--output"), opt.Output},
        {QStringLiteral("the signature of --output"),
         opt.Output.isEmpty() ? QString() : Trail::signatureOf(opt.Output)},
        {QStringLiteral("the audit trail of --output"),
         opt.Output.isEmpty() ? QString() : Trail::trailOf(opt.Output)},
        {QStringLiteral("the audit trail's signature of --output"),
         opt.Output.isEmpty() ? QString() : Trail::signatureOf(Trail::trailOf(opt.Output))},
        {QStringLiteral("the alarm log"),
         opt.Output.isEmpty() ? QString() : alarmLogPath(opt.Output)},
        {QStringLiteral("--report"), opt.Report},
        {QStringLiteral("--summary"), opt.Summary},
        {QStringLiteral("--latest"), opt.Outputs.Latest},
        {QStringLiteral("--metrics-file"), opt.Outputs.MetricsFile}};
    for (qsizetype i = 0; i < outputs.size(); ++i)
        for (qsizetype j = i + 1; j < outputs.size(); ++j)
            if (!outputs[i].second.isEmpty() && !outputs[j].second.isEmpty() &&
                FileIo::sameFile(outputs[i].second, outputs[j].second))
                return usage(QStringLiteral("%1 %2 and %3 %4 are the same file; each output "
                                            "needs a file of its own")
                                 .arg(outputs[i].first, outputs[i].second, outputs[j].first,
                                      outputs[j].second));
    QString mqttError;
    opt.Mqtt = Mqtt::fromParser(parser, &mqttError);
    if (!mqttError.isEmpty())
        return usage(mqttError);
    result.options = opt;
    return result;
}

bool requested(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!std::strcmp(a, "--headless") || !std::strcmp(a, "--help") || !std::strcmp(a, "-h"))
            return true;
    }
    return false;
}

} // namespace Headless
