#include "proof/Trail.h"

#include "output/SafeFile.h"
#include "proof/SigningKey.h"
#include "proof/SshSig.h"
#include "recording/MeasurementTable.h"

#include <QDateTime>
#include <QFile>
#include <limits>

namespace Trail {

namespace {

const QByteArray Header = "tx9-logger trail 1\n";
constexpr qint64 MaxTrail = qint64(1) << 30;

} // namespace

QString trailOf(const QString &dataFile)
{
    return dataFile + QStringLiteral(".trail");
}

QString signatureOf(const QString &file)
{
    return file + QStringLiteral(".sig");
}

QByteArray header()
{
    return Header;
}

QByteArray entryLine(const AuditEntry &entry)
{
    return "entry\t" + QByteArray::number(entry.Rows) + '\t' + entry.fields() + '\n';
}

QByteArray sealLine(const Seal &seal, const QString &time, qint64 bytes)
{
    return "seal\t" + QByteArray::number(seal.rows()) + '\t' + seal.hex() + '\t' + time.toUtf8() +
           '\t' + QByteArray::number(bytes) + '\n';
}

qint64 sealSpan(qint64 rows)
{
    return qMax<qint64>(64, (rows + 4095) / 4096);
}

bool parse(const QByteArray &bytes, Contents *c, QString *why)
{
    if (!bytes.startsWith(Header)) {
        *why = QStringLiteral("it is not an audit trail");
        return false;
    }
    qsizetype at = Header.size();
    for (qint64 lineNo = 2; at < bytes.size(); ++lineNo) {
        const qsizetype end = bytes.indexOf('\n', at);
        if (end < 0) {
            *why = QStringLiteral("its last line is cut short");
            return false;
        }
        const QByteArray line = bytes.mid(at, end - at);
        at = end + 1;
        const qsizetype t1 = line.indexOf('\t'), t2 = t1 < 0 ? -1 : line.indexOf('\t', t1 + 1);
        bool number = false;
        const qint64 rows = t2 < 0 ? -1 : line.mid(t1 + 1, t2 - t1 - 1).toLongLong(&number);
        auto bad = [&] {
            *why = QStringLiteral("its line %1 does not read").arg(lineNo);
            return false;
        };
        if (!number || rows < 0)
            return bad();
        const QByteArray word = line.left(t1), rest = line.mid(t2 + 1);
        const qint64 lastRows = c->Entries.empty() ? 0 : c->Entries.back().Rows;
        if (word == "entry") {
            const std::optional<AuditEntry> e = AuditEntry::fromFields(rows, rest);
            if (!e || rows < lastRows)
                return bad();
            c->Entries.push_back(*e);
        } else if (word == "seal") {
            const QList<QByteArray> f = rest.split('\t');
            bool sized = false;
            const qint64 size = f.size() == 3 ? f[2].toLongLong(&sized) : -1;
            if (f.size() != 3 || !sized || size < 0 || f[0].size() != 64 || rows < lastRows ||
                QByteArray::fromHex(f[0]).toHex() != f[0])
                return bad();
            c->Seals.push_back(
                {rows, qsizetype(c->Entries.size()), f[0], QString::fromUtf8(f[1]), size, at});
        } else {
            return bad();
        }
    }
    return true;
}

bool read(const QString &path, Contents *contents, QString *why)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be read (%1)").arg(f.errorString());
        return false;
    }
    if (f.size() > MaxTrail) {
        *why = QStringLiteral("it is far larger than any trail");
        return false;
    }
    return parse(f.readAll(), contents, why);
}

bool writeSignature(const QString &file, const QByteArray &sha512, const SigningKey &key,
                    QString *why)
{
    const QByteArray sig = SshSig::sign(key, sha512);
    if (sig.isEmpty()) {
        *why = QStringLiteral("the signature cannot be made");
        return false;
    }
    return SafeFile::writeWhole(signatureOf(file), sig, why);
}

std::optional<QString> sealSaved(const QString &file, const MeasurementTable &rows,
                                 const std::vector<AuditEntry> &entries, const SigningKey &key,
                                 QString *why)
{
    QByteArray hash;
    qint64 size = 0;
    if (!Digest::ofFile(Digest::Kind::Sha512, file, &hash, why, &size))
        return std::nullopt;
    QByteArray trail = Header;
    Seal seal;
    const QString time = AuditEntry::timeText();
    size_t e = 0;
    qint64 lastRows = 0;
    auto entriesUpTo = [&](qint64 r) {
        for (; e < entries.size() && entries[e].Rows <= r; ++e) {
            AuditEntry placed = entries[e];
            placed.Rows = lastRows = qBound(lastRows, placed.Rows, rows.count());
            seal.addEntry(placed);
            trail += entryLine(placed);
        }
    };
    const qint64 span = sealSpan(rows.count());
    for (qint64 r = 0; r < rows.count(); ++r) {
        entriesUpTo(r);
        seal.addRow(rows, r);
        if ((r + 1) % span == 0 && r + 1 < rows.count())
            trail += sealLine(seal, time, size);
    }
    entriesUpTo(std::numeric_limits<qint64>::max()); // those of the last rows, and any after
    trail += sealLine(seal, time, size);
    const QString trailPath = trailOf(file);
    if (!writeSignature(file, hash, key, why) || !SafeFile::writeWhole(trailPath, trail, why) ||
        !writeSignature(trailPath, Digest::of(Digest::Kind::Sha512, trail), key, why))
        return std::nullopt;
    return seal.text();
}

} // namespace Trail
