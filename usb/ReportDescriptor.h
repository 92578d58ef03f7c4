#pragma once
// Report lengths from a HID report descriptor, as the host computes them: for each report type
// the largest report, in bytes, plus one byte for the report ID (whether or not the device
// numbers its reports); 0 for a type the device has no report of.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

struct ReportLengths
{
    int Input = 0;
    int Output = 0;
    int Feature = 0;
    bool Numbered = false; // the descriptor declares report IDs
    bool Valid = true;     // false when an item runs past the end of the descriptor
    // Per report ID, the length of each output and feature report, report-ID byte included.
    QMap<int, int> OutputById, FeatureById;
};

ReportLengths parseReportDescriptor(const QByteArray &descriptor);

enum class HidReportKind
{
    Output,
    Feature
};
// How long a report whose byte 0 is reportId must be when it goes to the device: the length
// the descriptor gives for that ID (for a device that does not number its reports, the one
// length of its kind). 0 when the descriptor has no such report: it is then sent as given.
int reportLengthFor(const ReportLengths &lengths, HidReportKind kind, quint8 reportId);
// The report cut or zero-padded to length (unchanged when length is 0).
QByteArray fitReport(const QByteArray &report, int length);

// Vendor and product from a HID_ID property ("0003:00001A86:0000E008": bus, vendor, product,
// in hex); nullopt when it is not of that form.
struct HidId
{
    quint16 Bus = 0, Vendor = 0, Product = 0;
};
std::optional<HidId> parseHidId(const QString &hidId);

// Where hidraw's bytes go in a report buffer whose byte 0 is the report ID: hidraw leaves the
// ID out of unnumbered reports, so they are read one byte in and byte 0 is set to 0.
inline int reportIdOffset(bool numbered)
{
    return numbered ? 0 : 1;
}
