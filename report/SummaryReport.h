#pragma once
// The summary report: a short document a person can hand on. The logger and cable, where the
// readings come from, the date range, the time chart of the whole recording (vector, drawn
// from the timeline's level of detail), the statistics (count, minimum and maximum with their
// times, mean, standard deviation, time above and below the limits), the alarms (start, end,
// duration, worst), the gaps (the longest first, at most a page of them), and "Page N of M"
// with the program's version on every page. The locale's paper size, A4 when unknown.

#include "report/SummaryInput.h"

#include <QList>
#include <QPageSize>
#include <QString>
#include <QStringList>

class QPagedPaintDevice;

namespace SummaryReport {

// The paper of the user's locale: Letter where it is measured in inches, else A4.
QPageSize localePageSize();
// Paints the report on device (a PDF writer or a printer, its page size already set); returns
// the pages painted.
int paint(const SummaryInput &input, QPagedPaintDevice *device);
// The report as a PDF document.
QByteArray pdf(const SummaryInput &input, int *pages = nullptr);
// The PDF written to path through the checked write (replaced whole or not at all); false
// with the reason when it could not be.
bool writePdf(const SummaryInput &input, const QString &path, QString *reason);

// The alarms the limits in force raise over the rows as the timeline places them (rows from
// files, whose alarms were never computed): start and end, their worst, as the live rules do,
// none across a gap longer than gapSeconds; each run (runStarts: where each begins; empty:
// one) on its own.
QList<AlarmEvent> alarmsOf(const MeasurementTable &table, const Timeline &line,
                           const LimitsHistory &limits, double gapSeconds,
                           const std::vector<qint64> &runStarts = {});

} // namespace SummaryReport
