#include "decode/Protocol.h"

namespace Protocol {

std::array<quint8, FeatureReportLength> baudRateReport(int baud)
{
    std::array<quint8, FeatureReportLength> report = {};
    if (baud == 2400 || baud == 4800 || baud == 9600) {
        report[1] = quint8(baud & 0xFF);
        report[2] = quint8(baud >> 8);
    }
    report[5] = 3;
    return report;
}

QByteArray commandReport(ReportKind kind, quint8 code, int length)
{
    QByteArray report(qMax(length, 3), '\0');
    report[1] = char(kind);
    report[2] = char(code);
    return report;
}

} // namespace Protocol
