#pragma once
// Invariants checked after every fuzz input; a broken one aborts, which the fuzzer reports.

#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"

#include <cstdio>
#include <cstdlib>

inline void fuzzRequire(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Every row well formed: texts within their width, and readable.
inline void checkTable(const MeasurementTable &t, qint64 from = 0)
{
    for (qint64 r = from; r < t.count(); ++r) {
        for (int f = MeasurementTable::FieldTime; f < MeasurementTable::FieldCount; ++f)
            fuzzRequire(t.text(r, MeasurementTable::Field(f)).size() <=
                            MeasurementTable::MaxTextLength,
                        "a text longer than 20 characters");
        (void)t.no(r);
    }
}

// Whatever loads saves, and loads back to rows that save to the same bytes again: the first
// save is where the text format trims and fills in "NULL", after it nothing changes.
inline void checkRoundTrip(const MeasurementTable &t, bool xml)
{
    const QByteArray once =
        xml ? DataFiles::xmlPacket(t) : DataFiles::textFile(t, QDate(2026, 12, 9));
    MeasurementTable back;
    fuzzRequire(DataFiles::loadBytes(once, xml, back) == DataFiles::LoadStatus::Ok,
                "a saved table did not load back");
    fuzzRequire(back.count() == t.count(), "a saved table loaded back with other rows");
    const QByteArray twice =
        xml ? DataFiles::xmlPacket(back) : DataFiles::textFile(back, QDate(2026, 12, 9));
    fuzzRequire(once == twice, "a table loaded back saved differently");
}
