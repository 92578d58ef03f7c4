#pragma once
// Dates for rows that carry only a time of day (the text and XML data files): the last row is
// on the file's date (its modification date), and each earlier row is a day before the one
// after it wherever the time of day goes backwards. Dates found this way are assumed: a gap of
// a day or more cannot be seen in such a file.
//
// Local time, with its summer time: on the night the clocks go back, a step back within the
// repeated hour is that hour's second round, not a day; on the night they go forward, the
// missing hour is never met.

#include <QDate>
#include <QStringView>
#include <vector>

namespace FileDates {

// The milliseconds since midnight of a Time text (hours, minutes and seconds with any
// separator: "14:03:07", "14.03.07"); -1 when it is not one.
int msOfDay(QStringView text);

// The capture times (ms since the epoch) of rows whose times of day are msOfDay (in file
// order; -1 for a row without one, which takes the row before's time, or the next one's at
// the start), the last of them on lastDate, in the system's time zone.
std::vector<qint64> assume(const std::vector<int> &msOfDay, const QDate &lastDate);

} // namespace FileDates
