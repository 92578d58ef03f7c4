#include "recording/Recorder.h"

#include <cmath>

namespace Recorder {

std::optional<int> parseInterval(const QString &text)
{
    if (text.isEmpty() || text == QLatin1String("-") || text == QLatin1String("+"))
        return 0;
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok)
        return std::nullopt;
    return v;
}

Decision offer(RecordingState &st, const QString &valueText, const QString &unitGlyph,
               bool recordSI, bool repeatSet, const QString &intervalText)
{
    Decision d;
    if (st.StoredRowCount >= st.RecordLimit)
        return d;
    if (recordSI && st.SampleCountdown != 0)
        return d;
    const QString key = valueText + unitGlyph;
    if (!repeatSet && key == st.LastStoredKey) {
        ++st.NextRecordNo; // a filtered repeat still uses up its number
        return d;
    }
    st.LastStoredKey = key;
    // The box accepts digits only, so this never fails; a failure would keep the countdown.
    if (const auto interval = parseInterval(intervalText))
        st.SampleCountdown = *interval;
    ++st.StoredRowCount;
    d.Store = true;
    d.No = st.NextRecordNo;
    ++st.NextRecordNo;
    return d;
}

void tick(RecordingState &st, bool recordSI)
{
    if (recordSI && st.SampleCountdown > 0)
        --st.SampleCountdown;
}

void reset(RecordingState &st)
{
    st.NextRecordNo = 1;
    st.StoredRowCount = 0;
}

double axisMaxFor(double peak)
{
    const long long r = std::llrint(peak); // the default rounding mode: halves to even
    return double((r / 100 + 1) * 100);
}

std::optional<double> raisePeak(RecordingState &st, float valueNum)
{
    if (!(double(valueNum) > st.PeakValue))
        return std::nullopt;
    st.PeakValue = valueNum;
    return axisMaxFor(st.PeakValue);
}

} // namespace Recorder

std::optional<float> Recorder::valueOfText(const QString &valueText, const QString &decimalSep,
                                           qint32 rangeMax, qint32 rangeMin)
{
    const QString t = valueText.trimmed();
    if (t.contains(QLatin1Char('L')))
        return float(t.startsWith(QLatin1Char('-')) ? rangeMin : rangeMax);
    QString plain = t;
    if (!decimalSep.isEmpty())
        plain.replace(decimalSep, QStringLiteral("."));
    bool ok = false;
    const float v = plain.toFloat(&ok);
    return ok ? std::optional<float>(v) : std::nullopt;
}
