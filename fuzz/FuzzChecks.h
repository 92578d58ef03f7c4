#pragma once
// Invariants checked after every fuzz input; a broken one aborts, which the fuzzer reports.

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
