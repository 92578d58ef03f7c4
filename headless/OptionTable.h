#pragma once
// The options of the program's command line without a window, each declared once: its names,
// its value's name, its help text and where it is taken (by --headless only, by the window
// too, or only said in the help). The parser, --help, the window's check of its command line
// and the manual page's test all read this table.

#include "outputs/Outputs.h"

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
    // For an option of an output: what its value sets in the outputs' options (both faces
    // apply it alike); none for the run's own options.
    void (*Apply)(OutputOptions &outputs, const QString &value) = nullptr;

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
// What a window's command line gives the outputs (the options the window takes that have an
// Apply).
void applyWindowOptions(const QStringList &arguments, OutputOptions &outputs);
// The "Options of --headless:" block of --help.
QString optionsHelp();

} // namespace Headless
