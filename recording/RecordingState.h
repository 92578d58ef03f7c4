#pragma once
// The recorder's share of the main window's state.

#include <QString>

struct RecordingState
{
    qint32 NextRecordNo = 1;    // No for the next stored row
    qint32 StoredRowCount = 0;  // rows stored since the table was emptied
    qint32 RecordLimit = 10000; // chosen in the Record menu
    qint32 SampleCountdown = 0; // interval ticks still to pass
    QString LastStoredKey;      // ValueText + UnitGlyph of the last stored row
    double PeakValue = 0.0;     // largest ValueNum stored; never reset
};
