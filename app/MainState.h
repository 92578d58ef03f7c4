#pragma once
// The state that the main window's handlers share. One instance, owned by TFCOMM, touched by
// the GUI thread only.

#include "decode/FrameDecoder.h"
#include "recording/RecordingState.h"

#include <QString>

struct MainState : Decode::AssemblyState, RecordingState
{
    QString DecimalSep;       // the user locale's decimal separator
    bool PrintingNow = false; // the report preview is open
    QString FrameText;        // the last instrument frame
    qint32 ConTickCount = 0;  // ConTimer tick divider
    qint32 RangeMax = 855;    // upper end of the instrument's range
    qint32 RangeMin = -50;    // lower end of the instrument's range
    // The current Reading.
    QString ValueText;
    QString UnitGlyph;
    float ValueNum = 0.0f;
};
