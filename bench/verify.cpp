// The check of a signed file: --verify of a text data file of 10 million rows (its signature,
// its trail's, and every seal over its rows), and the cost of sealing and signing it.
//   bench_verify [ROWS]   (default 10000000)

#include "proof/Verify.h"
#include "BenchUtil.h"
#include "output/DataFiles.h"
#include "proof/SigningKey.h"
#include "proof/Trail.h"
#include "recording/MeasurementTable.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    AllowedSigners signers;
    const qint64 rows = argc > 1 ? QByteArray(argv[1]).toLongLong() : 10000000;
    QTemporaryDir dir;
    const QString file = dir.filePath("big.txt");
    {
        MeasurementTable t;
        std::vector<MeasurementTable::IdRow> chunk;
        double v = 20;
        for (qint64 i = 0; i < rows; ++i) {
            const int s = int(i % 86400);
            const QString time = QStringLiteral("%1:%2:%3")
                                     .arg(s / 3600, 2, 10, QLatin1Char('0'))
                                     .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                                     .arg(s % 60, 2, 10, QLatin1Char('0'));
            v += ((i * 7919) % 11 - 5) / 10.0;
            chunk.push_back({qint32(i + 1), t.internText(time),
                             t.internText(QString::number(v, 'f', 1)), t.internText(u"#"), 0});
            if (chunk.size() == 65536 || i + 1 == rows) {
                t.appendRows(chunk);
                chunk.clear();
            }
        }
        if (!DataFiles::saveTable(t, file, QDate(2026, 12, 10))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        const std::optional<SigningKey> key = SigningKey::generate(QStringLiteral("bench@here"));
        signers.add(key->publicBlob(), QStringLiteral("bench@here"));
        QString why;
        QElapsedTimer clock;
        clock.start();
        const std::vector<AuditEntry> entries{
            AuditEntry::now(0, QStringLiteral("session started"))};
        if (!Trail::sealSaved(file, t, entries, *key, &why)) {
            std::fprintf(stderr, "cannot seal: %s\n", qPrintable(why));
            return 1;
        }
        Bench::print(qPrintable(QStringLiteral("seal and sign a saved file, %1 rows").arg(rows)),
                     double(clock.nsecsElapsed()) / 1e9, "s");
        Trail::Contents trail;
        if (Trail::read(Trail::trailOf(file), &trail, &why)) {
            Bench::print("trail, seals", double(trail.Seals.size()), "seals");
            Bench::print("trail, size", double(QFileInfo(Trail::trailOf(file)).size()) / 1024,
                         "KiB");
            Bench::print("trail, rows a changed row is named within",
                         double(Trail::sealSpan(rows)), "rows");
        }
    }
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        const Verify::Result r = Verify::file(file, {&signers});
        times.push_back(double(clock.nsecsElapsed()) / 1e9);
        if (r.What != Verify::Outcome::Intact) {
            std::fprintf(stderr, "not intact: %s\n", qPrintable(r.Sentence));
            return 1;
        }
    }
    Bench::print(qPrintable(QStringLiteral("verify, %1 rows").arg(rows)), Bench::median(times),
                 "s");
    Bench::print("verify, peak memory", double(Bench::statusKb("VmHWM")) / 1024, "MiB");
    return 0;
}
