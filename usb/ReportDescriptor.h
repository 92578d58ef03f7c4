#pragma once
// Report lengths from a HID report descriptor, as the host computes them: for each report type
// the largest report, in bytes, plus one byte for the report ID (whether or not the device
// numbers its reports); 0 for a type the device has no report of.

#include <QByteArray>

struct ReportLengths
{
    int Input = 0;
    int Output = 0;
    int Feature = 0;
    bool Numbered = false; // the descriptor declares report IDs
    bool Valid = true;     // false when an item runs past the end of the descriptor
};

ReportLengths parseReportDescriptor(const QByteArray &descriptor);
