#pragma once
// Publishing what the window records, with the same --mqtt options as a headless run: the
// window's outputs publish, their lines go to standard error, and a refused configuration is
// also shown in a notice that does not hold the window.

#include "headless/Headless.h"

#include <QStringList>
#include <optional>

class TFCOMM;

// Starts publishing for window when arguments (the window's other options taken off already)
// ask for it. Returns the exit status when the program is to stop (wrong options: 2, an
// outbox in use: 7).
std::optional<int> startWindowPublishing(TFCOMM &window, const QStringList &arguments);

// What both programs do before their window: a report of files (--report FILE...) and the
// headless run are run to their end here, with the summary report's writer. Returns the exit
// status when the program ends here; none: the window is to open.
std::optional<int> runWithoutWindow(int argc, char **argv, const Headless::PlatformFor &platformFor,
                                    const QList<Headless::WindowOption> &windowOptions = {});

// The window's options checked as a run checks them: the exit status (2, the sentence said)
// when one is wrong; none when the window may open.
std::optional<int> checkWindowArguments(const QStringList &arguments);

// The window shown with its outputs started from arguments, and the recovery journals of
// ended sessions offered once it is up. Returns the exit status when the program is to stop
// instead (as startWindowPublishing).
std::optional<int> openWindow(TFCOMM &window, const QStringList &arguments);
