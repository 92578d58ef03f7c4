#include "headless/OptionTable.h"

#include "outputs/Metrics.h"

#include <QHostAddress>
#include <cmath>

namespace Headless {

const QList<OptionEntry> &options()
{
    using Where = OptionEntry::Where;
    static const QList<OptionEntry> run{
        {{"o", "output"},
         "FILE",
         "write the readings to FILE: the XML data packet when\n"
         "the name ends in .xml (written when the run ends),\n"
         "else tab-separated text, written as readings arrive",
         Where::Headless},
        {{"stdout"},
         "",
         "also write each stored reading as a tab-separated line\n"
         "on standard output (the default without --output)",
         Where::Headless},
        {{"download"},
         "",
         "fetch the readings stored in the instrument, then stop",
         Where::Headless},
        {{"interval"},
         "S",
         "store at most one reading every S seconds (default 1;\n"
         "0 stores every reading)",
         Where::Headless},
        {{"no-repeat"}, "", "skip a reading equal to the last stored one", Where::Headless},
        {{"limit"}, "N", "stop after N stored readings", Where::Headless},
        {{"duration"}, "S", "stop after S seconds", Where::Headless},
        {{"device"},
         "ID",
         "the cable to use when there is more than one: its cable\n"
         "ID (its serial number, else its USB port path), its\n"
         "device node, or its number in --list (which changes\n"
         "as cables come and go); without it, the first free cable",
         Where::Both},
        {{"list"},
         "",
         "list the HID interfaces with their cable IDs and the\n"
         "process logging each, and mark the one that would be used",
         Where::Headless},
        {{"wait"},
         "",
         "without a free cable, wait for one to be plugged in\n"
         "(instead of ending with status 3)",
         Where::Headless},
        {{"no-id-lock"},
         "",
         "log a cable known by its ID even when the lock of that\n"
         "ID cannot be taken (else status 11)",
         Where::Both},
        {{"signing-key"},
         "FILE",
         "sign the data files with this Ed25519 key (OpenSSH's\n"
         "format, without a passphrase) instead of the program's\n"
         "own, which is made on first use in its state folder",
         Where::Both},
        {{"overwrite"},
         "",
         "replace the file of --output when it already holds\n"
         "something, or of --report when it holds anything but\n"
         "a PDF (without it such a file is refused)",
         Where::Headless},
        {{"append"},
         "",
         "go on after the last row of the text or CSV file of\n"
         "--output, numbering from its last No + 1",
         Where::Headless},
        {{"format"},
         "F",
         "the file of --output as text (the default: tab-separated,\n"
         "or the XML packet for .xml) or csv (for spreadsheets:\n"
         "no,time,value,unit,display with ISO dates)",
         Where::Headless},
        {{"high"},
         "T",
         "alarm when the reading rises above T (24C, 75.2F; a\n"
         "bare number is in the unit of the first reading)",
         Where::Headless},
        {{"low"}, "T", "alarm when the reading falls below T", Where::Headless},
        {{"hold"},
         "S",
         "an alarm starts only once the reading has stayed\n"
         "beyond the limit for S seconds (default 0)",
         Where::Headless},
        {{"hysteresis"},
         "T",
         "an alarm ends only once the reading is back inside\n"
         "by T (default 0.5)",
         Where::Headless},
        {{"summary"}, "FILE", "write the statistics to FILE when the run ends", Where::Headless},
        {{"report"},
         "FILE",
         "write the summary report (PDF) to FILE when the run\n"
         "ends, whatever ends it",
         Where::Headless},
        {{"sign-as"},
         "NAME",
         "the report is signed by NAME (with --report and\n"
         "--meaning); a sign-off is an audit entry",
         Where::Headless},
        {{"meaning"},
         "WORD",
         "what the sign-off means: reviewed, approved or\n"
         "responsible",
         Where::Headless},
        {{"comment"}, "TEXT", "a comment printed with the sign-off", Where::Headless},
        {{"q", "quiet"}, "", "no status line and no progress messages", Where::Headless},
        {{"h", "help"}, "", "this text", Where::HelpOnly},
        {{"version"}, "", "the program's version", Where::HelpOnly},
    };
    // The outputs' own options, each where it says --help lists it.
    static const QList<OptionEntry> table = [] {
        QList<OptionEntry> all = run;
        for (const OptionEntry &o : Outputs::optionEntries()) {
            qsizetype at = all.size();
            for (qsizetype i = 0; i < all.size(); ++i)
                if (o.ListedAfter && all[i].name() == QLatin1String(o.ListedAfter))
                    at = i + 1;
            all.insert(at, o);
        }
        return all;
    }();
    return table;
}

const OptionEntry *findOption(const QString &name)
{
    for (const OptionEntry &o : options())
        if (o.Names.contains(name))
            return &o;
    return nullptr;
}

std::optional<QString> windowValue(const QStringList &arguments, const QString &name)
{
    const OptionEntry *o = findOption(name);
    if (!o || o->Takes != OptionEntry::Where::Both)
        return std::nullopt;
    std::optional<QString> value;
    const QString flag = QStringLiteral("--") + o->name();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == flag)
            value = o->takesValue() ? arguments.value(i + 1) : QString();
        else if (o->takesValue() && arguments[i].startsWith(flag + QLatin1Char('=')))
            value = arguments[i].mid(flag.size() + 1);
    }
    return value;
}

void applyWindowOptions(const QStringList &arguments, OutputOptions &outputs)
{
    for (const OptionEntry &o : options())
        if (o.Apply)
            if (const std::optional<QString> value = windowValue(arguments, o.name()))
                o.Apply(outputs, *value);
}

QString checkOutputOptions(const OutputOptions &outputs)
{
    if (std::isnan(outputs.ActivationKJ))
        return QStringLiteral("--activation-energy takes kJ/mol, 10 to 500");
    if (std::isnan(outputs.BrokerAlarmSeconds))
        return QStringLiteral("--broker-alarm takes a number of seconds, 1 or more");
    if (!outputs.MetricsListen.isEmpty()) {
        QHostAddress address;
        quint16 port = 0;
        QString why;
        if (!Metrics::parseListen(outputs.MetricsListen, &address, &port, &why))
            return why;
    }
    return {};
}

QString checkWindowOptions(const QStringList &arguments)
{
    OutputOptions probe;
    applyWindowOptions(arguments, probe);
    return checkOutputOptions(probe);
}

QString optionsHelp()
{
    // The names from the third column, the help from the 23rd; its further lines under it.
    constexpr int HelpColumn = 22;
    QString text = QStringLiteral("Options of --headless:\n");
    for (const OptionEntry &o : options()) {
        QString left = o.Names.size() > 1
                           ? QStringLiteral("  -%1, --%2").arg(o.Names[0], o.Names[1])
                           : QStringLiteral("      --%1").arg(o.Names[0]);
        if (o.takesValue())
            left += QLatin1Char(' ') + QLatin1String(o.Value);
        const QStringList lines = QString::fromUtf8(o.Help).split(QLatin1Char('\n'));
        // A name too long for its column has its help on the next line, never run into it.
        text += left.size() < HelpColumn - 1
                    ? left.leftJustified(HelpColumn) + lines[0] + QLatin1Char('\n')
                    : left + QLatin1Char('\n') + QString(HelpColumn, QLatin1Char(' ')) + lines[0] +
                          QLatin1Char('\n');
        for (qsizetype i = 1; i < lines.size(); ++i)
            text += QString(HelpColumn, QLatin1Char(' ')) + lines[i] + QLatin1Char('\n');
    }
    return text;
}

} // namespace Headless
