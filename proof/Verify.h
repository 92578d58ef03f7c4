#pragma once
// tx9-logger --verify FILE...: whether each data file is the one that was recorded. Its
// signature (FILE.sig) is checked over its bytes, its rows and its audit trail (FILE.trail,
// signed as FILE.trail.sig) against the seals the trail holds, and, when given, against a seal
// kept elsewhere (HASH@ROWS, as the broker's seal topic and the report give it), which a file
// signed again with the machine's own key cannot match. Where a file differs from its seals,
// the rows are named by their No: the first seal that no longer holds bounds where.

#include "proof/AllowedSigners.h"
#include "proof/Trail.h"
#include "recording/MeasurementTable.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace Verify {

enum class Outcome
{
    Intact,
    Changed,    // the signature, the trail or a seal does not hold
    Unsigned,   // no signature, no trail, or rows taken from an unsigned file; nothing else wrong
    Unreadable, // the file cannot be read as a data file
};

struct Options
{
    // The keys trusted: none given, those trusted here (AllowedSigners::here()).
    const AllowedSigners *Signers = nullptr;
    std::optional<QByteArray> SealHex = std::nullopt;
    qint64 SealRows = 0;
    // Only the data file's first UpTo bytes are checked (-1: all of it): a file to go on
    // with, whose torn last line is to be cut.
    qint64 UpTo = -1;
};

// What the check read, for a caller that goes on with the file (--append).
struct Detail
{
    std::unique_ptr<MeasurementTable> Rows;
    Trail::Contents Trail; // its signed part
    qint64 TrailEnd = 0;   // where that part ends
};

struct Result
{
    Outcome What = Outcome::Unreadable;
    QString Sentence; // "intact: 12 rows, signed by ..." or what is wrong
    qint64 Rows = 0;
    QString Seal; // the seal of its rows and trail, HASH@ROWS (when they read)
    // Rows after its last seal; OnlyAfterSeal: nothing else is wrong (the file of a run that
    // was killed between two syncs, which --append may go on with).
    qint64 AfterSeal = 0;
    bool OnlyAfterSeal = false;
};

Result file(const QString &path, const Options &options, Detail *detail = nullptr);
// The command's exit status for its files' results: 0 all intact, 11 one changed, 12 one
// unsigned (and none changed), 9 one that cannot be read.
int status(const QList<Result> &results);

// The trail entry of a file whose rows were taken from a file without signature or trail
// (--append to an unsigned file): its Rows are the rows taken.
constexpr const char *UnsignedOrigin = "appended to an unsigned file";

constexpr int Changed = 11;
constexpr int Unsigned = 12;
constexpr int Unreadable = 9;

} // namespace Verify
