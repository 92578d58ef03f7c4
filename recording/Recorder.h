#pragma once
// The rules that decide which Readings become rows: the record limit, the sampling interval
// and the repeat filter, and the numbering. Pure functions over RecordingState.

#include "recording/RecordingState.h"

#include <optional>

namespace Recorder {

struct Decision
{
    bool Store = false; // append a row and plot it
    qint32 No = 0;      // the row's No when stored
};

// The interval box as a whole number: empty, "-" and "+" count as 0; nullopt when the text is
// not a whole number.
std::optional<int> parseInterval(const QString &text);

// Steps up to the numbering: limit gate, interval gate, repeat filter, bookkeeping.
Decision offer(RecordingState &st, const QString &valueText, const QString &unitGlyph,
               bool recordSI, bool repeatSet, const QString &intervalText);

// The limit message is due exactly when the stored count stands at the limit.
inline bool limitMessageDue(const RecordingState &st)
{
    return st.StoredRowCount == st.RecordLimit;
}
// After the message, recording stays closed until the table is emptied.
inline void limitAnswered(RecordingState &st)
{
    ++st.StoredRowCount;
}

// The number a stored Value text stands for, as the reading had it: the over-range forms give
// the range's ends; a dash display (or anything else without a number) gives nullopt, and the
// chart then repeats the previous value, as it did when the reading came in.
std::optional<float> valueOfText(const QString &valueText, const QString &decimalSep,
                                 qint32 rangeMax, qint32 rangeMin);
// One second of the interval timer.
void tick(RecordingState &st, bool recordSI);

// Emptying the table restarts numbering and counting; the key, countdown and peak stay.
void reset(RecordingState &st);

// Upper bound of the value axis for a peak: the next multiple of 100 above the peak
// rounded half to even.
double axisMaxFor(double peak);

// Raises PeakValue; returns the new axis maximum when it rose.
std::optional<double> raisePeak(RecordingState &st, float valueNum);

} // namespace Recorder
