#pragma once
// What proves a data file, beside it: FILE.sig, the detached SSH signature of its bytes;
// FILE.trail, the audit entries of its recording and its seals (one at each sync, and at its
// end), and FILE.trail.sig, the trail's own signature. The trail is a text file of lines:
//   tx9-logger trail 1
//   entry<TAB>ROWS<TAB>time<TAB>login<TAB>host<TAB>what<TAB>old<TAB>new
//   seal<TAB>ROWS<TAB>hash<TAB>time<TAB>BYTES
// Its entries go into the seal as they come, between rows (an entry of ROWS after the first
// ROWS rows); a seal line gives the seal after the rows and entries before it, and the size of
// the data file it was taken with (the signature of that moment covers its first BYTES bytes).
// A run that ends without its last sync leaves rows after its last seal: the file's signature
// still holds over its first BYTES bytes, the trail's over its lines up to that seal.

#include "proof/Seal.h"

#include <QByteArray>
#include <QString>
#include <vector>

class SigningKey;

namespace Trail {

QString trailOf(const QString &dataFile);
QString signatureOf(const QString &file);

QByteArray header();
QByteArray entryLine(const AuditEntry &entry);
QByteArray sealLine(const Seal &seal, const QString &time, qint64 bytes);

// How many rows a seal may lie behind the one before it in a file of rows rows: 64, or a
// 4096th of the file when that is more. A changed row is named within that many rows, and a
// trail holds at most about 4096 seals more than its syncs.
qint64 sealSpan(qint64 rows);

struct SealPoint
{
    qint64 Rows = 0;
    qsizetype Entries = 0; // entries before it in the trail
    QByteArray Hex;
    QString Time;
    qint64 Bytes = -1;  // of the data file; -1 when not given
    qint64 LineEnd = 0; // where its line ends in the trail
};
struct Contents
{
    std::vector<AuditEntry> Entries;
    std::vector<SealPoint> Seals;
};
// The trail at path; false and why for a file that is not one (a line that does not read,
// entries out of order, a seal before its entries).
bool read(const QString &path, Contents *contents, QString *why);
bool parse(const QByteArray &bytes, Contents *contents, QString *why);

// The signature of a file whose SHA-512 is hash, written whole as FILE.sig; false and the
// reason when it cannot be.
bool writeSignature(const QString &file, const QByteArray &sha512, const SigningKey &key,
                    QString *why);

// A data file saved whole (the window's saves, an XML packet): its signature, and its trail
// with the entries given (of the recording the rows are, positioned in it) and a seal every
// sealSpan rows and at the end, signed too. The file is read back for its signature, so what is
// signed is what is on the disk. The seal at the end, or none and why.
std::optional<QString> sealSaved(const QString &file, const MeasurementTable &rows,
                                 const std::vector<AuditEntry> &entries, const SigningKey &key,
                                 QString *why);

} // namespace Trail
