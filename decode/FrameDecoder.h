#pragma once
// Turns the cable's input reports into instrument frames and frames into Readings.
// Everything here is a pure function over strings and bytes, so it can be tested without a device.

#include <QString>
#include <cstdint>
#include <optional>

namespace Decode {

// The frame under assembly. The cable sends idle reports between frames; the first idle
// report after data ends a frame.
struct AssemblyState
{
    QString HidAccum;           // serial bytes, two upper-case hex digits each
    bool FramePending = false;  // serial bytes arrived since the last frame end
    qint32 IdleReportCount = 0; // reports since the last one that carried serial bytes
};

struct ReportResult
{
    QString LogLine;             // "R 00  " + "XX " per data byte
    bool CarriedSerial = false;  // count nibble 1..9: the line goes to the USB log
    bool FrameCompleted = false; // an idle report ended a pending frame
    QString FrameText;           // valid when FrameCompleted
};

// Only the first 11 accumulated bytes form a frame, so the accumulator never needs more
// than this many hex digits; later bytes of an over-long frame are dropped on arrival.
constexpr int MaxAccumChars = 2 * 16;

QString reportLogLine(quint8 reportId, const quint8 *data, quint16 size);
ReportResult assembleReport(AssemblyState &state, quint8 reportId, const quint8 *data,
                            quint16 size);

// Low nibbles of the first 11 bytes, line-feed nibble moved to the front.
QString frameTextFromAccum(const QString &hidAccum);
// Positions 1, 11, 7, 8 of the frame text.
QString frameTypeOf(const QString &frameText);

// What the frame handler does with a completed frame.
struct FrameDispatch
{
    bool UncheckRecordSI = false;
    bool Show = false;           // call the LCD update
    bool SendStop = false;       // command 91 (download end marker)
    bool Identification = false; // the instrument's identification frame: shown as it is
    std::optional<int> RangeMax; // identification frame matched the model table
};
FrameDispatch dispatchFrame(const QString &frameText, bool recallData, bool printingNow);

// Model table of the identification frame; later rows override earlier ones.
std::optional<int> rangeMaxForModel(const QString &frameText);

// One digit code of the frame as the LCD character: A blank, B minus, F the letter L ("@").
QChar lcdCharFor(QChar code);

enum class ValueKind
{
    Number,       // ValueNum takes Value
    KeepPrevious, // a dash in digit 2 or 1: ValueNum unchanged, the reading is still recorded
    NoValue       // no integer value: painted, but neither recorded nor plotted
};

struct DerivedReading
{
    QString Digits[4];       // LCD characters of digits 4, 3, 2, 1 (empty for a short frame)
    bool DotLit = false;     // the decimal point between digits 2 and 1
    bool Fahrenheit = false; // LCDF instead of LCDC
    QString ValueText;
    QString UnitGlyph;
    ValueKind Kind = ValueKind::NoValue;
    float Value = 0.0f;
};

DerivedReading deriveReading(const QString &frameText, const QString &decimalSep, int rangeMax,
                             int rangeMin);

} // namespace Decode
