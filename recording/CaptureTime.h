#pragma once
// A row's capture time as text and back, fast enough for millions of rows: ISO 8601 with
// milliseconds and the offset it had, 2026-12-09T14:03:07.512+01:00. The time is in the
// table's packed form (MeasurementTable::packTime: 0 is none).

#include <QByteArray>
#include <QString>
#include <string_view>

namespace CaptureTime {

constexpr int Length = 29;
// Writes the text of packed (which is not 0) to out; returns Length.
int format(qint64 packed, char *out);
QByteArray text(qint64 packed); // empty for 0
// The packed time of text, or 0 when it is not one (a whole quarter hour offset, a date
// between the years 1 and 9999).
qint64 parse(std::string_view text);

} // namespace CaptureTime
