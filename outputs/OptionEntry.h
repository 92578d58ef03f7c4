#pragma once
// An option of the program's command line as it is declared once: its names, its value's name,
// its help text, where it is taken (by --headless only, by the window too, or only said in the
// help) and, for an output's option, what it sets in the outputs' options. An output declares
// its own (LatestReading::option(), AlarmCommands::option()); the run's table
// (headless/OptionTable.cpp) lists them among its own, and the parser, --help, the window and
// the manual page's test read that table.

#include <QCommandLineOption>
#include <QString>
#include <QStringList>

struct OutputOptions;

struct OptionEntry
{
    enum class Where
    {
        Headless, // an option of --headless
        Both,     // the window takes it too
        HelpOnly, // handled before the parser (--version) or by it (--help)
    };
    QStringList Names; // the short name first, when there is one
    const char *Value; // the value's name; empty: a flag
    const char *Help;  // its lines, as --help shows them
    Where Takes = Where::Headless;
    // For an output's option: what its value sets in the outputs' options (both faces apply
    // it alike); none for the run's own options.
    void (*Apply)(OutputOptions &outputs, const QString &value) = nullptr;
    // Where --help lists an output's option: after the run's option of this name.
    const char *ListedAfter = nullptr;

    QString name() const { return Names.constLast(); } // the long one
    bool takesValue() const { return *Value != 0; }
    QCommandLineOption option() const
    {
        return takesValue() ? QCommandLineOption(Names, QString(), QString::fromLatin1(Value))
                            : QCommandLineOption(Names, QString());
    }
};
