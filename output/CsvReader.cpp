// Our own CSV (no,time,value,unit,display, and note in an export with notes) read back into a
// table: for the summary report of an exported recording. Hostile input is bounded as the other
// loaders bound it: a regular file only, a line of at most 4 KiB, at most 16 fields, texts cut to
// the table's length.

#include "output/DataFiles.h"

#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QFile>
#include <unistd.h>

namespace DataFiles {

namespace {

constexpr qsizetype MaxLine = 4096;
constexpr int MaxFields = 16;

// The fields of one line (RFC 4180: quoted fields may hold commas and doubled quotes);
// false when the line is not one.
bool fields(QByteArrayView line, QList<QByteArray> &out)
{
    out.clear();
    QByteArray field;
    bool quoted = false, wasQuoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.isEmpty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            out << field;
            if (out.size() > MaxFields)
                return false;
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    out << field;
    return !quoted;
}

QString unitGlyph(const QByteArray &unit)
{
    const QString u = QString::fromUtf8(unit);
    if (u == QStringLiteral("\u00B0C"))
        return QStringLiteral("#");
    if (u == QStringLiteral("\u00B0F"))
        return QStringLiteral("?");
    return u;
}

} // namespace

LoadStatus loadCsv(const QString &path, MeasurementTable &table, QString *why,
                   std::vector<CsvNote> *notes)
{
    const int fd = openRegularFile(path);
    if (fd < 0) {
        *why = QStringLiteral("it cannot be opened as a regular file");
        return LoadStatus::Failed;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *why = file.errorString();
        return LoadStatus::Failed;
    }
    const QByteArray header = file.readLine(MaxLine);
    if (!header.startsWith(csvHeader().trimmed())) {
        *why = QStringLiteral("it does not begin with the header %1")
                   .arg(QString::fromLatin1(csvHeader().trimmed()));
        return LoadStatus::Failed;
    }
    const bool noteColumn = header.trimmed() == csvHeader(true).trimmed();
    const qint64 firstRow = table.count();
    std::vector<MeasurementTable::RowView> rows;
    std::vector<QString> keep; // the texts the views point at, for a slice
    QList<QByteArray> f;
    qint64 lineNo = 1;
    auto flush = [&] {
        table.appendRows(rows);
        rows.clear();
        keep.clear();
    };
    while (!file.atEnd()) {
        QByteArray line = file.readLine(MaxLine + 2);
        ++lineNo;
        if (line.size() > MaxLine) {
            *why = QStringLiteral("line %1 is longer than %2 bytes").arg(lineNo).arg(MaxLine);
            flush();
            return LoadStatus::Failed;
        }
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (!fields(line, f) || f.size() < 5) {
            *why = QStringLiteral("line %1 is not a row of this program's CSV").arg(lineNo);
            flush();
            return LoadStatus::Failed;
        }
        bool numbered = false;
        const qint32 no = f[0].toInt(&numbered);
        const qint64 captured =
            f[1].isEmpty()
                ? 0
                : CaptureTime::parse(std::string_view(f[1].constData(), size_t(f[1].size())));
        if ((!numbered && !f[0].isEmpty()) || (!f[1].isEmpty() && captured == 0)) {
            *why = QStringLiteral("line %1 has no number or time that reads").arg(lineNo);
            flush();
            return LoadStatus::Failed;
        }
        if (noteColumn && f.size() >= 6 && !f[5].isEmpty()) {
            // A note on a line of its own: on the reading just read when its No is given and
            // is that one's, else at its moment.
            const bool ownLine = f[2].isEmpty() && f[3].isEmpty() && f[4].isEmpty();
            if (ownLine && captured == 0) {
                *why = QStringLiteral("line %1 is a note without its time").arg(lineNo);
                flush();
                return LoadStatus::Failed;
            }
            const qint64 next = table.count() + qint64(rows.size());
            const std::optional<qint32> lastNo = !rows.empty()     ? rows.back().No
                                                 : next > firstRow ? table.no(next - 1)
                                                                   : std::nullopt;
            qint64 row = next - firstRow; // counted from the file's first row
            if (ownLine)
                row = numbered && next > firstRow && lastNo == no ? row - 1 : -1;
            if (notes)
                notes->push_back({row, captured ? MeasurementTable::msOfPacked(captured) : 0,
                                  QString::fromUtf8(f[5])});
            if (ownLine)
                continue;
        }
        // The row as the table keeps it: the time of day, the panel's text, the unit's glyph.
        keep.push_back(captured ? QString::fromLatin1(f[1].mid(11, 8)) : QString());
        keep.push_back(QString::fromUtf8(f[4].isEmpty() ? f[2] : f[4]));
        keep.push_back(unitGlyph(f[3]));
        const qsizetype n = qsizetype(keep.size());
        rows.push_back({numbered ? std::optional<qint32>(no) : std::nullopt, keep[size_t(n - 3)],
                        keep[size_t(n - 2)], keep[size_t(n - 1)], captured});
        if (rows.size() >= 65536)
            flush();
    }
    flush();
    return LoadStatus::Ok;
}

} // namespace DataFiles
