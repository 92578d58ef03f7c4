// The report-descriptor parser on arbitrary descriptors: every length it gives is one hidraw
// can carry, and fitting a report to it never asks for more.

#include "FuzzChecks.h"
#include "usb/ReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ReportLengths l =
        parseReportDescriptor(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    constexpr int Max = 16384; // HID_MAX_BUFFER_SIZE
    for (const int n : {l.Input, l.Output, l.Feature})
        fuzzRequire(n >= 0 && n <= Max, "a report length beyond what hidraw carries");
    for (const QMap<int, int> *byId : {&l.OutputById, &l.FeatureById})
        for (const int n : *byId)
            fuzzRequire(n >= 1 && n <= Max, "a report length beyond what hidraw carries");
    for (const HidReportKind kind : {HidReportKind::Output, HidReportKind::Feature}) {
        const int n = reportLengthFor(l, kind, size ? data[0] : 0);
        fuzzRequire(fitReport(QByteArray(3, '\x5A'), n).size() <= Max, "an oversized report");
    }
    return 0;
}
