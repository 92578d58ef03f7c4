#include "proof/Verify.h"

#include "output/DataFiles.h"
#include "proof/Digest.h"
#include "proof/SigningKey.h"
#include "proof/SshSig.h"
#include "proof/Trail.h"
#include "recording/MeasurementTable.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <limits>
#include <vector>

namespace Verify {

namespace {

// The hashes of a file's first ends[i] bytes and of the whole file (last), in one reading:
// the ends are visited in order, so the cost is that of the bytes and the ends, once each.
bool hashesAt(const QString &file, Digest::Kind kind, const std::vector<qint64> &ends,
              std::vector<QByteArray> *hashes, QString *why, qint64 upTo)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be read (%1)").arg(f.errorString());
        return false;
    }
    std::vector<size_t> order(ends.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return ends[a] < ends[b]; });
    Digest d(kind);
    QByteArray block(1 << 20, Qt::Uninitialized);
    qint64 at = 0;
    size_t k = 0; // the next end in order
    hashes->assign(ends.size() + 1, QByteArray());
    const qint64 limit = upTo >= 0 ? upTo : std::numeric_limits<qint64>::max();
    for (;;) {
        for (; k < order.size() && ends[order[k]] <= at; ++k)
            if (ends[order[k]] == at)
                (*hashes)[order[k]] =
                    k > 0 && ends[order[k - 1]] == at ? (*hashes)[order[k - 1]] : d.value();
        // Up to the next end that lies ahead, so that its hash is taken there.
        const qint64 next = k < order.size() ? qMin(limit, ends[order[k]]) : limit;
        const qint64 n = f.read(block.data(), qMin<qint64>(block.size(), next - at));
        if (n < 0) {
            *why = QStringLiteral("it cannot be read (%1)").arg(f.errorString());
            return false;
        }
        if (n == 0)
            break;
        d.add(QByteArrayView(block.constData(), n));
        at += n;
    }
    hashes->back() = d.value();
    return true;
}

// What the signature of a file says: none (no file), that it holds over the whole file or
// over its first bytes up to one of ends (the longest that holds), or what is wrong with it.
struct Signature
{
    bool Present = false, Holds = false;
    qint64 SignedEnd = -1; // -1: the whole file
    QString Why, Key;      // Key: whose it is, in words
};

Signature checkSignature(const QString &file, const Options &o, const std::vector<qint64> &ends,
                         const QDateTime &signedAt)
{
    Signature s;
    QFile sigFile(Trail::signatureOf(file));
    if (!sigFile.exists())
        return s;
    s.Present = true;
    if (!sigFile.open(QIODevice::ReadOnly)) {
        s.Why = QStringLiteral("its signature cannot be read");
        return s;
    }
    const std::optional<SshSig::Parsed> sig = SshSig::parse(sigFile.read(64 * 1024 + 1), &s.Why);
    if (!sig)
        return s;
    if (sig->Ns != SshSig::Namespace) {
        s.Why =
            QStringLiteral("its signature is for \"%1\", not for %2")
                .arg(QString::fromUtf8(sig->Ns.left(60)), QString::fromLatin1(SshSig::Namespace));
        return s;
    }
    const QString fingerprint = SigningKey::fingerprint(sig->PublicBlob);
    const AllowedSigners::Verdict trusted =
        (o.Signers ? *o.Signers : AllowedSigners::here()).check(sig->PublicBlob, sig->Ns, signedAt);
    if (trusted.Principals.isEmpty()) {
        if (!trusted.Listed)
            s.Why = o.Signers ? QStringLiteral("it is signed by a key that is not among the "
                                               "allowed signers (%1)")
                                    .arg(fingerprint)
                              : QStringLiteral("signed by a key that is not trusted here: %1")
                                    .arg(fingerprint);
        else
            s.Why = QStringLiteral("%1 (%2)").arg(trusted.Why, fingerprint);
        return s;
    }
    s.Key = trusted.Principals.join(QLatin1Char(','));
    std::vector<QByteArray> hashes;
    if (!hashesAt(file,
                  sig->HashAlgorithm == "sha256" ? Digest::Kind::Sha256 : Digest::Kind::Sha512,
                  ends, &hashes, &s.Why, o.UpTo))
        return s;
    if (SshSig::holds(*sig, hashes.back())) {
        s.Holds = true;
        return s;
    }
    // The longest signed part: the ends from the last, each checked once.
    std::vector<size_t> order;
    for (size_t i = 0; i < ends.size(); ++i)
        if (!hashes[i].isEmpty())
            order.push_back(i);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return ends[a] > ends[b]; });
    for (size_t k = 0; k < order.size() && s.SignedEnd < 0; ++k)
        if ((k == 0 || ends[order[k]] != ends[order[k - 1]]) &&
            SshSig::holds(*sig, hashes[order[k]]))
            s.SignedEnd = ends[order[k]];
    s.Holds = s.SignedEnd >= 0;
    if (!s.Holds)
        s.Why = QStringLiteral("its signature does not match its bytes");
    return s;
}

// The rows of a data file of any of the program's formats; false and why when it is none.
bool loadRows(const QString &path, MeasurementTable &rows, QString *why, qint64 upTo)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be read (%1)").arg(f.errorString());
        return false;
    }
    const QByteArray head = f.read(64);
    f.close();
    DataFiles::LoadStatus status;
    if (head.startsWith(DataFiles::csvHeader().left(26))) {
        status = DataFiles::loadCsv(path, rows, why, nullptr, upTo);
    } else if (head.startsWith("<?xml")) {
        status = DataFiles::loadTable(path, rows, true);
        *why = QStringLiteral("it does not read as an XML data packet");
    } else if (head.startsWith("Report created on: ")) {
        qint64 unreadable = 0;
        status = DataFiles::loadJournal(path, rows, &unreadable);
        *why = QStringLiteral("it cannot be read");
        if (status == DataFiles::LoadStatus::Ok && unreadable > 0) {
            *why = QStringLiteral("%1 of its lines are no readings").arg(unreadable);
            return false;
        }
    } else {
        *why = QStringLiteral("it is not one of this program's data files");
        return false;
    }
    return status == DataFiles::LoadStatus::Ok;
}

QString noOf(const MeasurementTable &rows, qint64 row)
{
    const std::optional<qint32> no = rows.no(row);
    return no ? QStringLiteral("No %1").arg(*no) : QStringLiteral("row %1").arg(row + 1);
}

// The rows first..last (0-based) as a person names them.
QString rangeOf(const MeasurementTable &rows, qint64 first, qint64 last)
{
    if (first == last)
        return QStringLiteral("the row %1").arg(noOf(rows, first));
    return QStringLiteral("the rows %1 to %2").arg(noOf(rows, first), noOf(rows, last));
}

// The trail's seals replayed over the rows: where the first one fails, and the seal of it all.
struct Replay
{
    qint64 FirstBad = -1, LastBad = -1; // rows, 0-based, within which the first failing seal lies
    qint64 SealedRows = 0;              // rows the last seal covers
    bool SealMatched = false;           // the outside seal was met
    bool SealReached = false;           // the outside seal's rows are in the file
    QString Seal;
};

Replay replay(const MeasurementTable &rows, const Trail::Contents &t, const Options &o)
{
    Replay r;
    Seal seal;
    size_t e = 0, s = 0;
    qint64 good = 0; // rows under the last seal that held
    auto atSeals = [&] {
        for (; s < t.Seals.size() && t.Seals[s].Rows == seal.rows() &&
               t.Seals[s].Entries == qsizetype(e);
             ++s) {
            if (r.FirstBad < 0 && seal.hex() != t.Seals[s].Hex) {
                r.FirstBad = qMin(good, qMax<qint64>(0, rows.count() - 1));
                r.LastBad = qMax<qint64>(r.FirstBad, seal.rows() - 1);
            } else if (r.FirstBad < 0) {
                good = seal.rows();
            }
            r.SealedRows = t.Seals[s].Rows;
        }
        if (o.SealHex && seal.rows() == o.SealRows) {
            r.SealReached = true;
            r.SealMatched = r.SealMatched || seal.hex() == *o.SealHex;
        }
    };
    for (qint64 row = 0;; ++row) {
        atSeals();
        while (e < t.Entries.size() && t.Entries[e].Rows <= row) {
            seal.addEntry(t.Entries[e++]);
            atSeals();
        }
        if (row == rows.count())
            break;
        seal.addRow(rows, row);
    }
    // Entries whose place is past the rows (rows removed) and seals never met.
    for (; e < t.Entries.size(); ++e)
        seal.addEntry(t.Entries[e]);
    if (r.FirstBad < 0 && s < t.Seals.size()) {
        r.FirstBad = qMin(good, rows.count());
        r.LastBad = rows.count() - 1;
        r.SealedRows = t.Seals.back().Rows;
    }
    r.Seal = seal.text();
    return r;
}

} // namespace

Result file(const QString &path, const Options &o, Detail *detail)
{
    Result res;
    auto sentence = [&](Outcome what, const QString &text) {
        res.What = what;
        res.Sentence = text;
        return res;
    };
    if (!QFileInfo(path).isFile())
        return sentence(Outcome::Unreadable,
                        QStringLiteral("cannot be read: it is not a file that exists"));
    auto table = std::make_unique<MeasurementTable>();
    MeasurementTable &rows = *table;
    QString why;
    const bool readable = loadRows(path, rows, &why, o.UpTo);
    res.Rows = rows.count();

    // The trail, as far as its own signature holds (a run that did not end cleanly may have
    // left a line after its last signature).
    const QString trailPath = Trail::trailOf(path);
    // When it was signed, for a key valid only for a time: its last seal's time, else now.
    QDateTime signedAt = QDateTime::currentDateTime();
    Trail::Contents trail;
    QString trailWhy;
    QFile trailFile(trailPath);
    const bool hasTrail = trailFile.exists();
    bool trailOk = false;
    if (hasTrail) {
        const QByteArray bytes = trailFile.open(QIODevice::ReadOnly) && trailFile.size() < (1 << 30)
                                     ? trailFile.readAll()
                                     : QByteArray();
        trailOk = Trail::parse(bytes, &trail, &trailWhy);
        if (trailOk && !trail.Seals.empty())
            signedAt = QDateTime::fromString(trail.Seals.back().Time, Qt::ISODate);
        if (!signedAt.isValid())
            signedAt = QDateTime::currentDateTime();
        std::vector<qint64> ends;
        for (const Trail::SealPoint &p : trail.Seals)
            ends.push_back(p.LineEnd);
        Options whole = o;
        whole.UpTo = -1;
        const Signature trailSig =
            trailOk ? checkSignature(trailPath, whole, ends, signedAt) : Signature();
        if (trailOk && !trailSig.Holds) {
            trailOk = false;
            trailWhy = trailSig.Present ? trailSig.Why : QStringLiteral("it has no signature");
        } else if (trailOk && trailSig.SignedEnd >= 0) {
            trail = {};
            trailOk = Trail::parse(bytes.left(trailSig.SignedEnd), &trail, &trailWhy);
        }
        if (detail && trailOk)
            detail->TrailEnd = trailSig.SignedEnd >= 0 ? trailSig.SignedEnd : bytes.size();
    }
    if (detail) {
        detail->Trail = trailOk ? trail : Trail::Contents();
        detail->Rows = std::move(table);
    }
    std::vector<qint64> sealEnds;
    if (trailOk)
        for (const Trail::SealPoint &p : trail.Seals)
            sealEnds.push_back(p.Bytes);
    const Signature sig = checkSignature(path, o, sealEnds, signedAt);
    // Signed up to its last seal only: rows came after it (a run that was killed).
    const bool signedToLastSeal = sig.Holds && sig.SignedEnd >= 0 && trailOk &&
                                  !trail.Seals.empty() && sig.SignedEnd == trail.Seals.back().Bytes;

    QStringList wrong;
    if (!readable)
        wrong << QStringLiteral("it does not read as a data file (%1)").arg(why);
    if (sig.Present && (!sig.Holds || (sig.SignedEnd >= 0 && !signedToLastSeal)))
        wrong << (sig.Holds ? QStringLiteral("its signature does not match its bytes") : sig.Why);
    if (hasTrail && !trailOk)
        wrong << QStringLiteral("its audit trail %1 does not hold: %2")
                     .arg(QFileInfo(trailPath).fileName(), trailWhy);
    if (readable && trailOk && !trail.Seals.empty()) {
        const Replay r = replay(rows, trail, o);
        res.Seal = r.Seal;
        bool sealsHold = true;
        if (r.FirstBad >= 0 && r.FirstBad < rows.count() && r.FirstBad < r.SealedRows) {
            sealsHold = false;
            wrong << QStringLiteral("%1 differ from the seal that covers them (%2 is the first "
                                    "that can be named)")
                         .arg(rangeOf(rows, r.FirstBad, qMin(r.LastBad, rows.count() - 1)),
                              noOf(rows, r.FirstBad));
        } else if (r.FirstBad >= 0) {
            sealsHold = false;
            wrong << QStringLiteral("rows are missing: its last seal covers %1 rows, and it "
                                    "has %2")
                         .arg(r.SealedRows)
                         .arg(rows.count());
        }
        if (sealsHold && rows.count() > r.SealedRows) {
            res.AfterSeal = rows.count() - r.SealedRows;
            wrong << QStringLiteral("%1 rows were added after its last seal (from %2)")
                         .arg(res.AfterSeal)
                         .arg(noOf(rows, r.SealedRows));
            res.OnlyAfterSeal = wrong.size() == 1 && (!sig.Present || sig.Holds);
        } else if (sealsHold && signedToLastSeal) {
            // Bytes after the last seal that make no whole row: a line torn by a kill.
            wrong << QStringLiteral("bytes that are no whole row follow its last seal (a last "
                                    "line torn by a run that was killed)");
            res.OnlyAfterSeal = wrong.size() == 1;
        }
        if (o.SealHex && !r.SealReached)
            wrong << QStringLiteral("it has %1 rows, fewer than the %2 the seal given covers")
                         .arg(rows.count())
                         .arg(o.SealRows);
        else if (o.SealHex && !r.SealMatched)
            wrong << QStringLiteral("it does not hold the seal given (%1@%2): its first %2 rows "
                                    "or their audit entries are not the ones sealed")
                         .arg(QString::fromLatin1(o.SealHex->left(12)) + QStringLiteral("\u2026"))
                         .arg(o.SealRows);
        res.OnlyAfterSeal = res.OnlyAfterSeal && wrong.size() == 1;
    } else if (readable && o.SealHex) {
        wrong << QStringLiteral("the seal given cannot be checked: it has no audit trail");
    }
    if (!wrong.isEmpty())
        return sentence(!readable && (!sig.Present || sig.Holds) && (!hasTrail || trailOk)
                            ? Outcome::Unreadable
                            : Outcome::Changed,
                        QStringLiteral("changed: %1").arg(wrong.join(QStringLiteral("; "))));
    if (!sig.Present)
        return sentence(Outcome::Unsigned,
                        QStringLiteral("no signature: %1 rows that nothing vouches for (%2 is "
                                       "missing)")
                            .arg(rows.count())
                            .arg(QFileInfo(Trail::signatureOf(path)).fileName()));
    if (!hasTrail)
        return sentence(Outcome::Unsigned,
                        QStringLiteral("no audit trail beside it: rows cannot be named, seals "
                                       "cannot be checked (%1 rows, signed by %2)")
                            .arg(rows.count())
                            .arg(sig.Key));
    // A file that began unsigned stays marked: what it held then nothing vouches for.
    for (const AuditEntry &e : trail.Entries) {
        if (e.What != QLatin1String(UnsignedOrigin))
            continue;
        const qint64 taken = qBound<qint64>(0, e.Rows, rows.count());
        auto span = [&](qint64 first, qint64 last) {
            return first == last
                       ? QStringLiteral("row %1").arg(noOf(rows, first))
                       : QStringLiteral("rows %1 to %2").arg(noOf(rows, first), noOf(rows, last));
        };
        const QString before =
            taken == 0
                ? QStringLiteral("no rows were taken from an unsigned file on %1").arg(e.Time)
                : QStringLiteral("%1 were taken from an unsigned file on %2")
                      .arg(span(0, taken - 1), e.Time);
        const QString after = taken >= rows.count()
                                  ? QStringLiteral("no rows since")
                                  : QStringLiteral("%1 intact").arg(span(taken, rows.count() - 1));
        return sentence(Outcome::Unsigned,
                        QStringLiteral("%1; %2 (signed by %3)").arg(before, after, sig.Key));
    }
    QString at;
    if (trailOk && !trail.Seals.empty())
        at = QStringLiteral(" at %1").arg(trail.Seals.back().Time);
    return sentence(
        Outcome::Intact,
        QStringLiteral("intact: %1 rows, signed by %2%3").arg(rows.count()).arg(sig.Key, at));
}

int status(const QList<Result> &results)
{
    bool unreadable = false, unsignedFile = false;
    for (const Result &r : results) {
        if (r.What == Outcome::Changed)
            return Changed;
        unreadable = unreadable || r.What == Outcome::Unreadable;
        unsignedFile = unsignedFile || r.What == Outcome::Unsigned;
    }
    return unreadable ? Unreadable : unsignedFile ? Unsigned : 0;
}

} // namespace Verify
