// The trail reader on arbitrary trails: what it takes is in order (entries by their rows, each
// seal after the entries it counts) and written out again reads back the same.

#include "FuzzChecks.h"
#include "proof/Trail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    Trail::Contents c;
    QString why;
    if (!Trail::parse(bytes, &c, &why)) {
        fuzzRequire(!why.isEmpty(), "a trail refused without a reason");
        return 0;
    }
    qint64 rows = 0;
    for (const AuditEntry &e : c.Entries) {
        fuzzRequire(e.Rows >= rows, "entries out of order");
        rows = e.Rows;
    }
    for (const Trail::SealPoint &s : c.Seals) {
        fuzzRequire(s.Entries >= 0 && size_t(s.Entries) <= c.Entries.size(),
                    "a seal after entries that are not there");
        fuzzRequire(s.Hex.size() == 64 && s.LineEnd <= bytes.size(), "a seal line misread");
    }
    // The entries written again read back as they were.
    QByteArray again = Trail::header();
    for (const AuditEntry &e : c.Entries)
        again += Trail::entryLine(e);
    Trail::Contents back;
    fuzzRequire(Trail::parse(again, &back, &why) && back.Entries.size() == c.Entries.size(),
                "entries written again did not read back");
    for (size_t i = 0; i < c.Entries.size(); ++i)
        fuzzRequire(back.Entries[i].fields() == c.Entries[i].fields() &&
                        back.Entries[i].Rows == c.Entries[i].Rows,
                    "an entry read back otherwise");
    return 0;
}
