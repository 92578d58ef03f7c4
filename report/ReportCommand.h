#pragma once
// tx9-logger --report OUT.pdf FILE...: the summary report of saved recordings (our text, XML
// and CSV files, a kept recovery journal), several files of one cable in time order as one,
// with the alarms computed against --high, --low, --hold and --hysteresis. Files of several
// cables (journals naming different ones, recordings overlapping in time) are refused with
// status 2 unless --merge; readings in the other unit are converted to the first file's. It needs
// no display: it runs on Qt's offscreen platform by itself. Exit status 0 done, 2 a wrong command
// line, 5 the PDF cannot be written, 9 an input cannot be read.

#include <QString>
#include <memory>

class QCoreApplication;
struct SummaryInput;

namespace ReportCommand {

constexpr int InputUnreadable = 9;

// Whether the command line asks for a report of files (--report without --headless).
bool requested(int argc, char **argv);
int run(int argc, char **argv);

// For a headless run: its application (with Qt's widgets on the offscreen platform when it is
// to write a report), and the report's writer.
std::unique_ptr<QCoreApplication> application(int &argc, char **argv);
bool writeRunReport(const SummaryInput &input, const QString &path, QString *reason);

} // namespace ReportCommand
