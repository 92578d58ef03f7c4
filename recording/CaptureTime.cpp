#include "recording/CaptureTime.h"

#include <cstdlib>

namespace CaptureTime {

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
qint64 daysFrom(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + qint64(doe) - 719468;
}

void civil(qint64 z, qint64 &y, unsigned &m, unsigned &d)
{
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = qint64(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

void digits(char *out, qint64 v, int n)
{
    for (int i = n - 1; i >= 0; --i) {
        out[i] = char('0' + v % 10);
        v /= 10;
    }
}

bool number(std::string_view t, size_t at, int n, int &v)
{
    v = 0;
    for (int i = 0; i < n; ++i) {
        const char c = t[at + size_t(i)];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    return true;
}

} // namespace

int format(qint64 packed, char *out)
{
    const qint64 low = packed & 0xFF;
    const qint64 utcMs = (packed - low) / 256;
    const int offsetMinutes = int(low - 128) * 15;
    const qint64 ms = utcMs + qint64(offsetMinutes) * 60000;
    qint64 days = ms / 86400000, inDay = ms % 86400000;
    if (inDay < 0) {
        inDay += 86400000;
        --days;
    }
    qint64 y;
    unsigned m, d;
    civil(days, y, m, d);
    digits(out, y, 4);
    out[4] = '-';
    digits(out + 5, m, 2);
    out[7] = '-';
    digits(out + 8, d, 2);
    out[10] = 'T';
    digits(out + 11, inDay / 3600000, 2);
    out[13] = ':';
    digits(out + 14, inDay / 60000 % 60, 2);
    out[16] = ':';
    digits(out + 17, inDay / 1000 % 60, 2);
    out[19] = '.';
    digits(out + 20, inDay % 1000, 3);
    out[23] = offsetMinutes < 0 ? '-' : '+';
    const int a = std::abs(offsetMinutes);
    digits(out + 24, a / 60, 2);
    out[26] = ':';
    digits(out + 27, a % 60, 2);
    return Length;
}

QByteArray text(qint64 packed)
{
    if (packed == 0)
        return {};
    char buf[Length];
    return QByteArray(buf, format(packed, buf));
}

qint64 parse(std::string_view t)
{
    if (t.size() != size_t(Length) || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
        t[16] != ':' || t[19] != '.' || (t[23] != '+' && t[23] != '-') || t[26] != ':')
        return 0;
    int y, mo, d, h, mi, s, ms, oh, om;
    if (!number(t, 0, 4, y) || !number(t, 5, 2, mo) || !number(t, 8, 2, d) ||
        !number(t, 11, 2, h) || !number(t, 14, 2, mi) || !number(t, 17, 2, s) ||
        !number(t, 20, 3, ms) || !number(t, 24, 2, oh) || !number(t, 27, 2, om))
        return 0;
    static constexpr int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > monthDays[mo - 1] || h > 23 || mi > 59 ||
        s > 59 || om % 15 != 0 || oh > 31)
        return 0;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo == 2 && d == 29 && !leap)
        return 0;
    const int offset = (oh * 60 + om) * (t[23] == '-' ? -1 : 1);
    const qint64 local =
        ((daysFrom(y, unsigned(mo), unsigned(d)) * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
    const qint64 utc = local - qint64(offset) * 60000;
    return utc * 256 + (offset / 15 + 128);
}

} // namespace CaptureTime
