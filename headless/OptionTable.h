#pragma once
// The options of the program's command line without a window, each declared once: its names,
// its value's name, its help text and where it is taken (by --headless only, by the window
// too, or only said in the help). The parser, --help, the window's check of its command line
// and the manual page's test all read this table.

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace Headless {

struct OptionSpec
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

    QString name() const { return Names.constLast(); } // the long one
    bool takesValue() const { return *Value != 0; }
    QCommandLineOption option() const;
};

// In the order --help lists them.
const QList<OptionSpec> &options();
// The spec of the option named name (long or short); nullptr for none.
const OptionSpec *findOption(const QString &name);
// The value a window's command line gives an option the window takes (the last one given; an
// empty one for a flag); none when not given.
std::optional<QString> windowValue(const QStringList &arguments, const QString &name);
// The "Options of --headless:" block of --help.
QString optionsHelp();

} // namespace Headless
