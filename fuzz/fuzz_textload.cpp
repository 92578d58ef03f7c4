// The text loader on arbitrary file contents.

#include "FuzzChecks.h"
#include "output/DataFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MeasurementTable table;
    table.appendRow({1, QStringLiteral("before"), QString(), QString()});
    DataFiles::loadBytes(QByteArray(reinterpret_cast<const char *>(data), int(size)), false, table);
    fuzzRequire(table.count() >= 1 && table.row(0).Time == QLatin1String("before"),
                "a load lost the rows already there");
    checkTable(table);
    checkRoundTrip(table, false);
    return 0;
}
