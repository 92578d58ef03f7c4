#include "alarms/Statistics.h"

#include "alarms/AlarmRules.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <cmath>
#include <limits>

void TableStatistics::Part::add(double v, qint64 row)
{
    ++count;
    const double d = v - mean;
    mean += d / double(count);
    m2 += d * (v - mean);
    if (minRow < 0 || v < min) {
        min = v;
        minRow = row;
    }
    if (maxRow < 0 || v > max) {
        max = v;
        maxRow = row;
    }
}

void TableStatistics::Part::merge(const Part &o)
{
    above += o.above;
    below += o.below;
    seconds += o.seconds;
    kinetic += o.kinetic;
    kineticSeconds += o.kineticSeconds;
    kineticEnds += o.kineticEnds;
    kineticSpans += o.kineticSpans;
    kineticEndCount += o.kineticEndCount;
    untimed += o.untimed;
    untimedEnds += o.untimedEnds;
    if (o.count == 0)
        return;
    if (count == 0) {
        count = o.count;
        mean = o.mean;
        m2 = o.m2;
        min = o.min;
        max = o.max;
        minRow = o.minRow;
        maxRow = o.maxRow;
        return;
    }
    const qint64 n = count + o.count;
    const double d = o.mean - mean;
    m2 += o.m2 + d * d * double(count) * double(o.count) / double(n);
    mean += d * double(o.count) / double(n);
    count = n;
    // Rows are merged in order: on equal extremes the earlier row stays.
    if (o.min < min) {
        min = o.min;
        minRow = o.minRow;
    }
    if (o.max > max) {
        max = o.max;
        maxRow = o.maxRow;
    }
}

TableStatistics::TableStatistics(const MeasurementTable &table, QObject *parent)
    : QObject(parent), m_table(&table)
{
    connect(&table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { appended(first, last); });
    connect(&table, &QAbstractItemModel::modelReset, this, [this] {
        rebuild();
        emit changed();
    });
    rebuild();
}

void TableStatistics::setLimits(std::optional<double> high, std::optional<double> low,
                                const QString &unit)
{
    if (high == m_high && low == m_low && unit == m_limitUnit)
        return;
    m_high = high;
    m_low = low;
    m_limitUnit = unit;
    rebuild();
    emit changed();
}

void TableStatistics::rebuild()
{
    m_rows = 0;
    m_whole = Part();
    m_blocks.clear();
    // The table's texts are numbered anew when it is emptied.
    m_values.clear();
    m_timeOfDay.clear();
    m_unitNames.clear();
    if (m_table && m_table->count() > 0)
        appended(0, m_table->count() - 1);
}

void TableStatistics::setKinetics(double activationKJ, double gapSeconds)
{
    if (activationKJ == m_activationKJ && gapSeconds == m_gapSeconds)
        return;
    m_activationKJ = activationKJ;
    m_gapSeconds = gapSeconds;
    rebuild();
    emit changed();
}

QString TableStatistics::mktText(double celsius, const QString &unit)
{
    const QString u = unit == QStringLiteral("\u00B0F") ? unit : QStringLiteral("\u00B0C");
    return QStringLiteral("%1 %2")
        .arg(AlarmRules::convert(celsius, QStringLiteral("\u00B0C"), u), 0, 'f', 2)
        .arg(u);
}

namespace {

// Temperatures are weighed against this one (20 °C), so that the sums stay near 1 whatever
// the activation energy.
constexpr double ReferenceKelvin = 293.15;

} // namespace

const QString &TableStatistics::unitName(qint64 row) const
{
    const quint32 u = m_table->textId(row, MeasurementTable::FieldUnit);
    if (u >= m_unitNames.size())
        m_unitNames.resize(size_t(u) + 1);
    if (!m_unitNames[u])
        m_unitNames[u] = MeasurementTable::unitName(m_table->textById(u));
    return *m_unitNames[u];
}

StatSummary TableStatistics::whole() const
{
    Part p = m_whole;
    if (m_rows > 0)
        addKinetic(p, m_rows - 1, true); // the last row: its successor has not come
    return summaryOf(p, 0, m_rows - 1);
}

void TableStatistics::addKinetic(Part &part, qint64 row, bool last, Part *also) const
{
    const double span = last ? 0 : spanSeconds(row);
    const bool beforeGap = last || span > m_gapSeconds;
    const std::optional<double> v = value(row);
    double e = 0;
    if (v) {
        static const QString fahrenheit = QStringLiteral("\u00B0F");
        const double celsius = unitName(row) == fahrenheit ? (*v - 32) * 5 / 9 : *v;
        const double k = m_activationKJ * 1000 / GasConstant;
        e = std::exp(k / ReferenceKelvin - k / (celsius + 273.15));
    }
    for (Part *p : {&part, also}) {
        if (!p)
            continue;
        if (!v) {
            if (beforeGap)
                ++p->untimedEnds;
            else
                p->untimed += span;
        } else if (beforeGap) {
            p->kineticEnds += e;
            ++p->kineticEndCount;
        } else {
            p->kinetic += span * e;
            p->kineticSeconds += span;
            ++p->kineticSpans;
        }
    }
}

std::optional<double> TableStatistics::value(qint64 row) const
{
    return m_values.value(*m_table, row);
}

double TableStatistics::spanSeconds(qint64 row) const
{
    const MeasurementTable &t = *m_table;
    if (const std::optional<qint64> steady = t.steadySpanMs(row))
        return double(*steady) / 1000.0; // the wall clock was set between them
    const qint64 a = t.capturedPacked(row), b = t.capturedPacked(row + 1);
    if (a != 0 && b != 0) {
        // packTime: milliseconds * 256 and the offset in the low byte.
        const qint64 ms = (b - (b & 0xFF)) / 256 - (a - (a & 0xFF)) / 256;
        return ms > 0 ? double(ms) / 1000.0 : 0.0;
    }
    if (a != 0 || b != 0)
        return 0; // a loaded row beside a recorded one: no known time between them
    auto timeOfDay = [this, &t](qint64 r) {
        const quint32 id = t.textId(r, MeasurementTable::FieldTime);
        if (id >= m_timeOfDay.size())
            m_timeOfDay.resize(size_t(id) + 1024, -2);
        if (m_timeOfDay[id] == -2) {
            const QTime tod =
                QTime::fromString(t.textById(id).trimmed(), QStringLiteral("H:mm:ss"));
            m_timeOfDay[id] = tod.isValid() ? tod.msecsSinceStartOfDay() : -1;
        }
        return m_timeOfDay[id];
    };
    const qint64 ta = timeOfDay(row), tb = timeOfDay(row + 1);
    if (ta < 0 || tb < 0)
        return 0;
    const qint64 ms = tb >= ta ? tb - ta : tb + 86400000 - ta;
    return double(ms) / 1000.0;
}

void TableStatistics::addSpan(Part &part, qint64 row, bool timeToo) const
{
    const double s = spanSeconds(row);
    if (timeToo)
        part.seconds += s;
    // Across a gap no time counts beyond a limit (nobody knows what the readings were).
    if ((!m_high && !m_low) || s > m_gapSeconds)
        return;
    std::optional<double> v = value(row);
    if (v && !m_limitUnit.isEmpty())
        v = AlarmRules::convert(*v, unitName(row), m_limitUnit);
    if (v && m_high && *v > *m_high)
        part.above += s;
    if (v && m_low && *v < *m_low)
        part.below += s;
}

void TableStatistics::appended(qint64 first, qint64 last)
{
    if (!m_table || first != m_rows) {
        // Not at the end of what is counted: count it all anew (never happens to a table that
        // only grows).
        if (first != m_rows) {
            rebuild();
            emit changed();
        }
        return;
    }
    for (qint64 row = first; row <= last; ++row) {
        const size_t block = size_t(row / BlockRows);
        if (block >= m_blocks.size())
            m_blocks.emplace_back();
        if (row > 0) {
            // The row before has its successor now: the time between them is known.
            Part &before = m_blocks[size_t((row - 1) / BlockRows)];
            addSpan(m_whole, row - 1);
            addSpan(before, row - 1);
            addKinetic(m_whole, row - 1, false, &before);
        }
        const double v = m_values.of(*m_table, row);
        if (!std::isnan(v)) {
            m_whole.add(v, row);
            m_blocks[block].add(v, row);
        }
    }
    m_rows = last + 1;
    emit changed();
}

TableStatistics::Part TableStatistics::partOf(qint64 first, qint64 last) const
{
    Part part;
    if (first > last)
        return part;
    // Each reading stands for the time until the next: the range's last row too counts its
    // time beyond a limit (so that days, or pages, add up to the whole), though the range's
    // own time ends at it.
    auto single = [&](qint64 row) {
        if (const std::optional<double> v = value(row))
            part.add(*v, row);
        if (row < m_rows - 1)
            addSpan(part, row, row < last);
        addKinetic(part, row, row == m_rows - 1);
    };
    qint64 row = first;
    for (; row <= last && row % BlockRows != 0; ++row)
        single(row);
    for (; row + BlockRows - 1 <= last; row += BlockRows) {
        part.merge(m_blocks[size_t(row / BlockRows)]);
        // The table's last row is in no block's sums yet: its successor has not come.
        if (row + BlockRows - 1 == m_rows - 1)
            addKinetic(part, m_rows - 1, true);
        // A block's last row counts the time to the next block's first; not the range's.
        if (row + BlockRows - 1 == last && last < m_rows - 1)
            part.seconds -= spanSeconds(last);
    }
    for (; row <= last; ++row)
        single(row);
    return part;
}

StatSummary TableStatistics::range(qint64 first, qint64 last) const
{
    first = qMax<qint64>(first, 0);
    last = qMin(last, m_rows - 1);
    return summaryOf(partOf(first, last), first, last);
}

StatSummary TableStatistics::ranges(const std::vector<std::pair<qint64, qint64>> &rows) const
{
    Part part;
    qint64 count = 0, first = -1, last = -1;
    for (auto [a, b] : rows) {
        a = qMax<qint64>(a, 0);
        b = qMin(b, m_rows - 1);
        if (a > b)
            continue;
        part.merge(partOf(a, b));
        count += b - a + 1;
        first = first < 0 ? a : first;
        last = b;
    }
    StatSummary s = summaryOf(part, first, last);
    s.Rows = count;
    return s;
}

void PlottedRows::add(qint64 firstPoint, qint64 firstRow, qint64 count)
{
    if (count <= 0)
        return;
    if (!m_runs.empty()) {
        Run &r = m_runs.back();
        if (r.point + r.count == firstPoint && r.row + r.count == firstRow) {
            r.count += count;
            return;
        }
    }
    m_runs.push_back({firstPoint, firstRow, count});
}

std::vector<std::pair<qint64, qint64>> PlottedRows::rowsOf(qint64 firstPoint,
                                                           qint64 lastPoint) const
{
    std::vector<std::pair<qint64, qint64>> out;
    for (const Run &r : m_runs) {
        const qint64 a = qMax(firstPoint, r.point), b = qMin(lastPoint, r.point + r.count - 1);
        if (a <= b)
            out.emplace_back(r.row + (a - r.point), r.row + (b - r.point));
    }
    return out;
}

StatSummary TableStatistics::summaryOf(const Part &p, qint64 first, qint64 last) const
{
    StatSummary s;
    s.Rows = last >= first ? last - first + 1 : 0;
    s.Count = p.count;
    s.FirstRow = s.Rows ? first : -1;
    s.LastRow = s.Rows ? last : -1;
    if (p.count > 0) {
        s.Min = p.min;
        s.Max = p.max;
        s.MinRow = p.minRow;
        s.MaxRow = p.maxRow;
        s.Mean = p.mean;
        s.StdDev = p.count > 1 ? std::sqrt(p.m2 / double(p.count - 1)) : 0.0;
    }
    s.SecondsAbove = p.above;
    s.SecondsBelow = p.below;
    s.Seconds = p.seconds;
    // A reading before a gap, or the last, stands for the usual spacing of the recording.
    const double usual =
        m_whole.kineticSpans > 0 ? m_whole.kineticSeconds / double(m_whole.kineticSpans) : 1.0;
    const double weight = p.kineticSeconds + usual * double(p.kineticEndCount);
    const double sum = p.kinetic + usual * p.kineticEnds;
    if (weight > 0 && sum > 0) {
        const double k = m_activationKJ * 1000 / GasConstant;
        s.MktCelsius = k / (k / ReferenceKelvin - std::log(sum / weight)) - 273.15;
    }
    s.MktSeconds = weight;
    s.SecondsWithoutNumber = p.untimed + usual * double(p.untimedEnds);
    return s;
}

QString TableStatistics::timeOf(qint64 row, const QString &format) const
{
    if (!m_table || row < 0 || row >= m_table->count())
        return {};
    if (const qint64 packed = m_table->capturedPacked(row))
        return format.isEmpty() ? QString::fromLatin1(CaptureTime::text(packed))
                                : MeasurementTable::unpackTime(packed)->toString(format);
    return m_table->text(row, MeasurementTable::FieldTime);
}

QString TableStatistics::text(const StatSummary &s, const QString &unit) const
{
    const QString u = unit.isEmpty() ? QString() : QStringLiteral(" ") + unit;
    const QString lu = m_limitUnit.isEmpty() ? u : QStringLiteral(" ") + m_limitUnit;
    auto num = [](double v) { return QString::number(v, 'f', 2); };
    auto no = [this](qint64 row) {
        const std::optional<qint32> n = m_table ? m_table->no(row) : std::nullopt;
        return n ? QStringLiteral(" (No %1)").arg(*n) : QString();
    };
    QString t = QStringLiteral("Readings: %1 (%2 with a value)\n").arg(s.Rows).arg(s.Count);
    if (s.Rows == 0)
        return t;
    t += QStringLiteral("First: %1\nLast: %2 (%3 s later)\n")
             .arg(timeOf(s.FirstRow), timeOf(s.LastRow), QString::number(s.Seconds, 'f', 1));
    if (s.Count > 0)
        t += QStringLiteral("Minimum: %1%2 at %3%4\nMaximum: %5%2 at %6%7\nMean: %8%2\n"
                            "Standard deviation: %9%2\n")
                 .arg(QString::number(s.Min, 'g', 10), u, timeOf(s.MinRow), no(s.MinRow),
                      QString::number(s.Max, 'g', 10), timeOf(s.MaxRow), no(s.MaxRow), num(s.Mean),
                      num(s.StdDev));
    if (s.MktCelsius)
        t += QStringLiteral("Mean kinetic temperature: %1 (activation energy %2 kJ/mol, time "
                            "weighted over %3 s; %4 s without a number)\n")
                 .arg(mktText(*s.MktCelsius, unit), QString::number(m_activationKJ, 'g', 10),
                      QString::number(s.MktSeconds, 'f', 1),
                      QString::number(s.SecondsWithoutNumber, 'f', 1));
    if (m_high)
        t += QStringLiteral("Above %1%2: %3 s\n")
                 .arg(QString::number(*m_high, 'g', 10), lu,
                      QString::number(s.SecondsAbove, 'f', 1));
    if (m_low)
        t +=
            QStringLiteral("Below %1%2: %3 s\n")
                .arg(QString::number(*m_low, 'g', 10), lu, QString::number(s.SecondsBelow, 'f', 1));
    return t;
}
