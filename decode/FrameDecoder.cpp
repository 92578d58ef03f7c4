#include "decode/FrameDecoder.h"

namespace Decode {

namespace {

const char HexDigits[] = "0123456789ABCDEF";

void appendHexByte(QString &s, quint8 b)
{
    s.append(QLatin1Char(HexDigits[b >> 4]));
    s.append(QLatin1Char(HexDigits[b & 0x0F]));
}

QString charAt(const QString &s, int pos1)
{
    return (pos1 >= 1 && pos1 <= s.size()) ? QString(s.at(pos1 - 1)) : QString();
}

} // namespace

QString reportLogLine(quint8 reportId, const quint8 *data, quint16 size)
{
    QString line;
    line.reserve(6 + 3 * size);
    line.append(QLatin1String("R "));
    appendHexByte(line, reportId);
    line.append(QLatin1String("  "));
    for (quint16 i = 0; i < size; ++i) {
        appendHexByte(line, data[i]);
        line.append(QLatin1Char(' '));
    }
    return line;
}

ReportResult assembleReport(AssemblyState &state, quint8 reportId, const quint8 *data, quint16 size)
{
    // Byte 0 of a report: its low nibble counts the serial bytes that follow it (1 to 9); 0
    // (or anything above 9) makes it an idle report. A report without bytes is not counted
    // as idle, but ends a pending frame as an idle one does.
    ReportResult r;
    r.LogLine = reportLogLine(reportId, data, size);
    if (size >= 1)
        ++state.IdleReportCount;
    const int n = size >= 1 ? data[0] & 0x0F : 0;
    if (n >= 1 && n <= 9) {
        state.IdleReportCount = 0;
        state.FramePending = true;
        // Bytes 1..n, as far as the report holds them (a count may promise more).
        for (int k = 1; k <= n && k < size; ++k)
            if (state.HidAccum.size() + 2 <= MaxAccumChars)
                appendHexByte(state.HidAccum, data[k]);
        r.CarriedSerial = true;
        return r;
    }
    if (state.FramePending) {
        r.FrameCompleted = true;
        r.FrameText = frameTextFromAccum(state.HidAccum);
        state.HidAccum.clear();
    }
    state.FramePending = false;
    return r;
}

QString frameTextFromAccum(const QString &hidAccum)
{
    QString t;
    for (int i = 0; i <= 10; ++i) {
        const int idx = 2 * i + 1;
        if (idx >= hidAccum.size())
            break;
        t.append(hidAccum.at(idx));
    }
    return charAt(t, 11) + t.left(10);
}

QString frameTypeOf(const QString &frameText)
{
    return charAt(frameText, 1) + charAt(frameText, 11) + charAt(frameText, 7) +
           charAt(frameText, 8);
}

FrameDispatch dispatchFrame(const QString &frameText, bool recallData, bool printingNow)
{
    FrameDispatch d;
    const QString type = frameTypeOf(frameText);
    if (!printingNow) {
        if (recallData) {
            d.UncheckRecordSI = true;
            d.Show = (type == QLatin1String("AD07"));
            d.SendStop = (frameText.mid(8, 2) == QLatin1String("99"));
        } else {
            d.Show = (type == QLatin1String("AD01"));
        }
    }
    if (frameText.mid(2, 3) == QLatin1String("100"))
        d.Identification = true;
    if (type == QLatin1String("AD10")) {
        d.Identification = true;
        d.RangeMax = rangeMaxForModel(frameText);
    }
    return d;
}

std::optional<int> rangeMaxForModel(const QString &frameText)
{
    struct Row
    {
        const char *at3, *at2a, *at2b;
        int rangeMax;
    };
    static const Row rows[] = {
        {"8141", nullptr, nullptr, 855},  {"8142", "8251", nullptr, 1055},
        {"8143", "8252", "8361", 1255},   {"8253", "8362", nullptr, 1555},
        {"8363", nullptr, nullptr, 1855},
    };
    const QString at3 = frameText.mid(2, 4);
    const QString at2 = frameText.mid(1, 4);
    std::optional<int> result;
    for (const Row &row : rows) {
        const bool hit = at3 == QLatin1String(row.at3) ||
                         (row.at2a && at2 == QLatin1String(row.at2a)) ||
                         (row.at2b && at2 == QLatin1String(row.at2b));
        if (hit)
            result = row.rangeMax;
    }
    return result;
}

QChar lcdCharFor(QChar code)
{
    switch (code.unicode()) {
    case 'A':
        return QLatin1Char(' ');
    case 'B':
        return QLatin1Char('-');
    case 'F':
        return QLatin1Char('@');
    default:
        return code;
    }
}

namespace {

// Leading blanks skipped, one leading minus allowed, then digits only.
std::optional<int> parseDisplayInteger(const QString &s)
{
    int i = 0;
    while (i < s.size() && s.at(i) == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < s.size() && s.at(i) == QLatin1Char('-')) {
        negative = true;
        ++i;
    }
    if (i >= s.size())
        return std::nullopt;
    int value = 0;
    for (; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    return negative ? -value : value;
}

} // namespace

DerivedReading deriveReading(const QString &frameText, const QString &decimalSep, int rangeMax,
                             int rangeMin)
{
    DerivedReading r;
    for (int i = 0; i < 4; ++i) {
        const QString code = charAt(frameText, 3 + i);
        r.Digits[i] = code.isEmpty() ? QString() : QString(lcdCharFor(code.at(0)));
    }
    const QString flags = charAt(frameText, 2);
    r.DotLit = flags == QLatin1String("1") || flags == QLatin1String("3");
    r.Fahrenheit = flags == QLatin1String("2") || flags == QLatin1String("3");
    r.UnitGlyph = r.Fahrenheit ? QStringLiteral("?") : QStringLiteral("#");
    const QString s = r.DotLit ? decimalSep : QString();
    const QString &d4 = r.Digits[0], &d3 = r.Digits[1], &d2 = r.Digits[2], &d1 = r.Digits[3];
    const QLatin1String minus("-");
    if (d2 == QLatin1String("@"))
        r.ValueText = d4 + d3 + QLatin1String("L") + d1;
    else if (d2 == minus && d1 == minus)
        r.ValueText = QStringLiteral("----");
    else
        r.ValueText = d4 + d3 + d2 + s + d1;

    if (frameText.size() < 6) {
        r.Kind = ValueKind::NoValue; // empty digit positions
        return r;
    }
    if (d2 == minus || d1 == minus) {
        r.Kind = ValueKind::KeepPrevious;
        return r;
    }
    const QString high = d4 + d3 + d2;
    if (high == QLatin1String(" 0@")) {
        r.Kind = ValueKind::Number;
        r.Value = float(rangeMax);
        return r;
    }
    if (high == QLatin1String("-0@")) {
        r.Kind = ValueKind::Number;
        r.Value = float(rangeMin);
        return r;
    }
    const std::optional<int> n = parseDisplayInteger(d4 + d3 + d2 + d1);
    if (!n) {
        r.Kind = ValueKind::NoValue;
        return r;
    }
    r.Kind = ValueKind::Number;
    // A display without its decimal point shows whole units: 1, 0, 5, 0 reads 1050.
    r.Value = r.DotLit ? float(*n * 0.1) : float(*n);
    return r;
}

} // namespace Decode
