#include "timeline/FileDates.h"

#include <QDateTime>
#include <QTimeZone>
#include <unordered_map>

namespace FileDates {

int msOfDay(QStringView text)
{
    int parts[3] = {0, 0, 0};
    int part = 0, digits = 0;
    for (const QChar c : text.trimmed()) {
        if (c.isDigit()) {
            if (++digits > 2)
                return -1;
            parts[part] = parts[part] * 10 + c.digitValue();
        } else {
            if (digits == 0 || part == 2)
                return -1;
            ++part;
            digits = 0;
        }
    }
    if (part != 2 || digits == 0 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59)
        return -1;
    return ((parts[0] * 60 + parts[1]) * 60 + parts[2]) * 1000;
}

namespace {

// One local day: where it starts, and the hour its clocks go back (if they do).
struct Day
{
    qint64 MidnightMs = 0;
    bool Changes = false; // the offset changes during the day
    int RepeatFrom = -1;  // ms of day: the clocks went back to here...
    int RepeatTo = -1;    // ...from here
    int OffsetBefore = 0; // seconds east of UTC in the first round
    int OffsetAfter = 0;  // and in the second
};

Day dayOf(const QDate &date)
{
    Day d;
    const QDateTime start = date.startOfDay();
    const QDateTime end = date.addDays(1).startOfDay();
    d.MidnightMs = start.toMSecsSinceEpoch();
    d.Changes = start.offsetFromUtc() != end.offsetFromUtc() ||
                end.toMSecsSinceEpoch() - d.MidnightMs != 86400000;
    if (!d.Changes)
        return d;
    const QTimeZone zone = QTimeZone::systemTimeZone();
    for (const QTimeZone::OffsetData &t : zone.transitions(start.addSecs(-3600), end)) {
        const QDateTime before = t.atUtc.addSecs(-1).toLocalTime();
        const int shift = before.offsetFromUtc() - t.offsetFromUtc;
        if (shift <= 0)
            continue; // forward: an hour that is never met
        const QDateTime after = t.atUtc.toTimeZone(zone);
        if (after.date() != date)
            continue;
        d.RepeatFrom = after.time().msecsSinceStartOfDay();
        d.RepeatTo = d.RepeatFrom + shift * 1000;
        d.OffsetBefore = before.offsetFromUtc();
        d.OffsetAfter = t.offsetFromUtc;
    }
    return d;
}

bool repeated(const Day &d, int ms)
{
    return d.RepeatFrom >= 0 && ms >= d.RepeatFrom && ms < d.RepeatTo;
}

} // namespace

std::vector<qint64> assume(const std::vector<int> &msOfDay, const QDate &lastDate)
{
    const size_t n = msOfDay.size();
    std::vector<qint64> times(n, 0);
    if (n == 0)
        return times;
    // Rows without a time of day take a neighbour's.
    std::vector<int> tod(msOfDay);
    int known = -1;
    for (size_t i = 0; i < n && known < 0; ++i)
        known = tod[i];
    if (known < 0)
        known = 0;
    for (int &t : tod)
        known = t = t >= 0 ? t : known;

    std::unordered_map<qint64, Day> days;
    auto day = [&](const QDate &date) -> const Day & {
        const auto it = days.find(date.toJulianDay());
        if (it != days.end())
            return it->second;
        return days.emplace(date.toJulianDay(), dayOf(date)).first->second;
    };
    // Backwards from the last row: each row's date, and whether it is in the second round of
    // a repeated hour.
    std::vector<qint32> dayOffset(n, 0);
    std::vector<char> second(n, 0);
    QDate date = lastDate;
    qint32 back = 0;
    for (size_t k = n; k-- > 0;) {
        if (k + 1 < n && tod[k] > tod[k + 1]) {
            const Day &d = day(date);
            if (repeated(d, tod[k]) && repeated(d, tod[k + 1])) {
                // The clocks went back between these rows: the later ones were the second
                // round, these the first.
                for (size_t j = k + 1; j < n && dayOffset[j] == back && repeated(d, tod[j]); ++j)
                    second[j] = 1;
            } else {
                date = date.addDays(-1);
                ++back;
            }
        }
        dayOffset[k] = back;
    }
    for (size_t k = 0; k < n; ++k) {
        const QDate rowDate = lastDate.addDays(-dayOffset[k]);
        const Day &d = day(rowDate);
        if (!d.Changes) {
            times[k] = d.MidnightMs + tod[k];
            continue;
        }
        const QTime time = QTime::fromMSecsSinceStartOfDay(tod[k]);
        if (repeated(d, tod[k])) {
            // Twice that day: the round says which offset it had.
            const int offset = second[k] ? d.OffsetAfter : d.OffsetBefore;
            times[k] = QDateTime(rowDate, time, Qt::UTC).toMSecsSinceEpoch() - offset * 1000LL;
        } else {
            times[k] = QDateTime(rowDate, time).toMSecsSinceEpoch();
        }
    }
    return times;
}

} // namespace FileDates
