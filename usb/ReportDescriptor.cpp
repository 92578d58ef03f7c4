#include "usb/ReportDescriptor.h"

#include <QMap>
#include <QStack>
#include <QStringList>

namespace {
// The longest report hidraw carries (the kernel's HID_MAX_BUFFER_SIZE), report ID included.
// A descriptor may claim anything; lengths are held to this, in arithmetic that saturates.
constexpr quint64 MaxReportBytes = 16384;
constexpr quint64 MaxDataBits = (MaxReportBytes - 1) * 8;

quint64 addBits(quint64 sum, quint32 size, quint32 count)
{
    const quint64 more = quint64(size) * count; // at most (2^32 - 1)^2: no overflow
    return more >= MaxDataBits - qMin(sum, MaxDataBits) ? MaxDataBits : sum + more;
}

int lengthOf(quint64 bits)
{
    return int((qMin(bits, MaxDataBits) + 7) / 8) + 1;
}
} // namespace

// Item layout per the Device Class Definition for HID 1.11, section 6.2.2: a prefix byte with
// bSize (bits 0-1, 3 means 4 bytes), bType (bits 2-3: main, global, local) and bTag (bits 4-7);
// the long item prefix 0xFE is followed by bDataSize and bLongItemTag.
ReportLengths parseReportDescriptor(const QByteArray &d)
{
    struct Globals
    {
        quint32 reportSize = 0;
        quint32 reportCount = 0;
        quint32 reportId = 0;
    };
    Globals g;
    QStack<Globals> stack;
    // Bits per report ID, per main item type (0 input, 1 output, 2 feature).
    QMap<quint32, quint64> bits[3];
    ReportLengths out;

    int i = 0;
    const int n = int(d.size());
    while (i < n) {
        const quint8 prefix = quint8(d[i]);
        if (prefix == 0xFE) { // long item: skipped, it carries no report layout
            if (i + 1 >= n) {
                out.Valid = false;
                break;
            }
            i += 3 + quint8(d[i + 1]);
            continue;
        }
        const int size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        if (i + 1 + size > n) {
            out.Valid = false;
            break;
        }
        quint32 value = 0;
        for (int k = 0; k < size; ++k)
            value |= quint32(quint8(d[i + 1 + k])) << (8 * k);
        i += 1 + size;

        if (type == 0) { // main
            const int kind = tag == 8 ? 0 : tag == 9 ? 1 : tag == 11 ? 2 : -1;
            if (kind >= 0)
                bits[kind][g.reportId] =
                    addBits(bits[kind][g.reportId], g.reportSize, g.reportCount);
        } else if (type == 1) { // global
            switch (tag) {
            case 7:
                g.reportSize = value;
                break;
            case 8:
                g.reportId = value;
                out.Numbered = true;
                break;
            case 9:
                g.reportCount = value;
                break;
            case 10:
                stack.push(g);
                break;
            case 11:
                if (!stack.isEmpty())
                    g = stack.pop();
                break;
            default:
                break;
            }
        }
    }
    int *lengths[3] = {&out.Input, &out.Output, &out.Feature};
    for (int k = 0; k < 3; ++k) {
        quint64 largest = 0;
        bool any = false;
        for (auto it = bits[k].cbegin(); it != bits[k].cend(); ++it) {
            any = true;
            largest = qMax(largest, it.value());
        }
        *lengths[k] = any ? lengthOf(largest) : 0;
    }
    QMap<int, int> *byId[3] = {nullptr, &out.OutputById, &out.FeatureById};
    for (int k = 1; k < 3; ++k)
        for (auto it = bits[k].cbegin(); it != bits[k].cend(); ++it)
            byId[k]->insert(int(it.key()), lengthOf(it.value()));
    return out;
}

int reportLengthFor(const ReportLengths &lengths, HidReportKind kind, quint8 reportId)
{
    const bool output = kind == HidReportKind::Output;
    if (!lengths.Numbered)
        return output ? lengths.Output : lengths.Feature;
    return (output ? lengths.OutputById : lengths.FeatureById).value(reportId, 0);
}

QByteArray fitReport(const QByteArray &report, int length)
{
    if (length <= 0 || length == report.size())
        return report;
    QByteArray out = report.left(length);
    out.append(QByteArray(length - out.size(), '\0'));
    return out;
}

std::optional<HidId> parseHidId(const QString &hidId)
{
    const QStringList parts = hidId.split(QLatin1Char(':'));
    if (parts.size() != 3)
        return std::nullopt;
    bool ok[3] = {};
    const uint bus = parts[0].toUInt(&ok[0], 16);
    const uint vendor = parts[1].toUInt(&ok[1], 16);
    const uint product = parts[2].toUInt(&ok[2], 16);
    if (!ok[0] || !ok[1] || !ok[2] || bus > 0xFFFF || vendor > 0xFFFF || product > 0xFFFF)
        return std::nullopt;
    return HidId{quint16(bus), quint16(vendor), quint16(product)};
}
