#pragma once
// An option a program that opens a window takes beside --headless (the demo has some of its
// own, publishing has its own), for the check of the command line before any window exists.

namespace Headless {

struct WindowOption
{
    const char *name; // without the dashes
    bool takesValue;
    const char *help; // its line in the help text, or nullptr
};

} // namespace Headless
