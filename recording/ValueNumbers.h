#pragma once
// The numbers of a table's value texts, each text turned into its number once: texts are
// interned, so a table of millions of rows has few of them. Emptied with the table (its texts
// are numbered anew then).

#include "recording/MeasurementTable.h"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

class ValueNumbers
{
public:
    // The value of row as a number; NaN for a reading without one.
    double of(const MeasurementTable &table, qint64 row)
    {
        const quint32 id = table.textId(row, MeasurementTable::FieldValue);
        if (id >= m_known.size()) {
            m_numbers.resize(size_t(id) + 1024);
            m_known.resize(size_t(id) + 1024, 0);
        }
        if (!m_known[id]) {
            m_numbers[id] = MeasurementTable::numberOf(table.textById(id))
                                .value_or(std::numeric_limits<double>::quiet_NaN());
            m_known[id] = 1;
        }
        return m_numbers[id];
    }
    std::optional<double> value(const MeasurementTable &table, qint64 row)
    {
        const double v = of(table, row);
        return std::isnan(v) ? std::nullopt : std::optional<double>(v);
    }
    void clear()
    {
        m_numbers.clear();
        m_known.clear();
    }

private:
    std::vector<double> m_numbers;
    std::vector<char> m_known;
};
