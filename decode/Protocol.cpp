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

std::optional<int> baudOf(const QByteArray &featureReport)
{
    if (featureReport.size() < 6)
        return std::nullopt;
    return quint8(featureReport[1]) | (quint8(featureReport[2]) << 8);
}

bool isFeatureReport(const QByteArray &reportWithoutId)
{
    if (reportWithoutId.isEmpty())
        return false;
    const quint8 first = quint8(reportWithoutId[0]);
    for (const int baud : {2400, 4800, 9600})
        if (first == quint8(baud & 0xFF))
            return true;
    return false;
}

std::optional<quint8> commandOf(const QByteArray &outputReport)
{
    if (outputReport.size() < 3)
        return std::nullopt;
    return quint8(outputReport[2]);
}

QByteArray frameBytes(const QString &frameText)
{
    QByteArray bytes;
    for (int i = 1; i < 10 && i < frameText.size(); ++i)
        bytes.append(char(0x30 | QString(frameText.at(i)).toInt(nullptr, 16)));
    bytes.append(char(0x0D));
    bytes.append(char(0x0A));
    return bytes;
}

QByteArray inputReport(const QByteArray &serial)
{
    QByteArray r(11, '\0');
    const int n = int(qMin<qsizetype>(serial.size(), 9));
    r[1] = char(0xF0 | n);
    for (int i = 0; i < n; ++i)
        r[2 + i] = serial[i];
    return r;
}

QByteArray commandReport(ReportKind kind, quint8 code, int length)
{
    QByteArray report(qMax(length, 3), '\0');
    report[1] = char(kind);
    report[2] = char(code);
    return report;
}

} // namespace Protocol
