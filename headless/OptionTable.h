#pragma once
// The options of the program's command line without a window, each declared once (see
// outputs/OptionEntry.h): the run's own here, the outputs' by the outputs, listed among them.
// The parser, --help, the window's check of its command line and the manual page's test all
// read this table.

#include "outputs/OptionEntry.h"
#include "outputs/Outputs.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace Headless {

using ::OptionEntry;

// In the order --help lists them.
const QList<OptionEntry> &options();
// The entry of the option named name (long or short); nullptr for none.
const OptionEntry *findOption(const QString &name);
// The value a window's command line gives an option the window takes (the last one given; an
// empty one for a flag); none when not given.
std::optional<QString> windowValue(const QStringList &arguments, const QString &name);
// What a window's command line gives the outputs (the options the window takes that have an
// Apply).
void applyWindowOptions(const QStringList &arguments, OutputOptions &outputs);
// What is wrong with the outputs' values the options gave (a number that does not read or is
// out of range, a listening address), as the run and the window both refuse it; empty when
// nothing is.
QString checkOutputOptions(const OutputOptions &outputs);
// The same for a window's command line, before any window opens.
QString checkWindowOptions(const QStringList &arguments);
// The "Options of --headless:" block of --help.
QString optionsHelp();

} // namespace Headless
