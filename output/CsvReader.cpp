// Our own CSV (no,time,value,unit,display, and note in an export with notes) read back into a
// table: for the summary report of an exported recording. Hostile input is bounded as the other
// loaders bound it: a regular file only, a line of at most 4 KiB, at most 16 fields, texts cut
// to the table's length. Lines are cut from the file's bytes as the text loader cuts them, and
// each distinct piece is decoded once.

#include "output/DataFiles.h"

#include "output/LineReader.h"
#include "output/PieceIds.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QStringConverter>
#include <deque>
#include <string>
#include <string_view>
#include <unistd.h>

namespace DataFiles {

namespace {

constexpr size_t MaxLine = 4096;
constexpr size_t MaxFields = 16;

class CsvLoader
{
public:
    CsvLoader(MeasurementTable &table, std::vector<CsvNote> *notes)
        : m_table(table), m_notes(notes), m_firstRow(table.count())
    {
        m_rows.reserve(65536);
    }
    ~CsvLoader() { flush(); }

    size_t feed(const char *data, size_t n, bool last)
    {
        const size_t taken = splitLines(data, n, last, false, [this](const char *d, size_t k) {
            line(std::string_view(d, k));
            return m_why.isEmpty();
        });
        m_times.forget();
        m_values.forget();
        m_units.forget();
        m_quoted.clear();
        return taken;
    }
    bool failed() const { return !m_why.isEmpty(); }
    bool whole() const { return m_why.isEmpty() && m_lineNo > 0; }
    void tooLong()
    {
        fail(QStringLiteral("line %1 is longer than %2 bytes").arg(m_lineNo + 1).arg(MaxLine));
    }
    // The reason the file is not one, when it is not (an empty file has no header).
    QString why() const
    {
        return m_lineNo == 0 ? QStringLiteral("it does not begin with the header %1")
                                   .arg(QString::fromLatin1(csvHeader().trimmed()))
                             : m_why;
    }
    void flush()
    {
        m_table.appendRows(m_rows);
        m_rows.clear();
    }

private:
    void fail(const QString &why)
    {
        if (m_why.isEmpty())
            m_why = why;
    }

    // The fields of one line (RFC 4180: quoted fields may hold commas and doubled quotes);
    // false when the line is not one. Unquoted fields are views into the line; quoted ones
    // are kept until the next feed.
    bool fields(std::string_view line)
    {
        m_f.clear();
        if (line.find('"') == std::string_view::npos) {
            size_t from = 0;
            for (;;) {
                const size_t comma = line.find(',', from);
                m_f.push_back(
                    line.substr(from, comma == std::string_view::npos ? line.npos : comma - from));
                if (m_f.size() > MaxFields)
                    return false;
                if (comma == std::string_view::npos)
                    return true;
                from = comma + 1;
            }
        }
        std::vector<std::string> out(1);
        bool quoted = false, wasQuoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (quoted) {
                if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                    out.back() += '"';
                    ++i;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    out.back() += c;
                }
            } else if (c == '"' && out.back().empty() && !wasQuoted) {
                quoted = wasQuoted = true;
            } else if (c == ',') {
                if (out.size() >= MaxFields)
                    return false;
                out.emplace_back();
                wasQuoted = false;
            } else {
                out.back() += c;
            }
        }
        if (quoted)
            return false;
        for (std::string &field : out)
            m_f.push_back(m_quoted.emplace_back(std::move(field)));
        return true;
    }

    void line(std::string_view line)
    {
        ++m_lineNo;
        if (line.size() > MaxLine) {
            tooLong();
            return;
        }
        if (m_lineNo == 1) {
            const QByteArray header(line.data(), qsizetype(line.size()));
            if (!header.startsWith(csvHeader().trimmed()))
                fail(QStringLiteral("it does not begin with the header %1")
                         .arg(QString::fromLatin1(csvHeader().trimmed())));
            m_noteColumn = header.trimmed() == csvHeader(true).trimmed();
            return;
        }
        if (line.empty())
            return;
        if (!fields(line) || m_f.size() < 5) {
            fail(QStringLiteral("line %1 is not a row of this program's CSV").arg(m_lineNo));
            return;
        }
        bool empty = false;
        const std::optional<qint32> no = parseNoBytes(m_f[0], &empty);
        const qint64 captured = m_f[1].empty() ? 0 : CaptureTime::parse(m_f[1]);
        if ((!no && !empty) || (!m_f[1].empty() && captured == 0)) {
            fail(QStringLiteral("line %1 has no number or time that reads").arg(m_lineNo));
            return;
        }
        if (m_noteColumn && m_f.size() >= 6 && !m_f[5].empty()) {
            // A note on a line of its own: on the reading just read when its No is given and
            // is that one's, else at its moment.
            const bool ownLine = m_f[2].empty() && m_f[3].empty() && m_f[4].empty();
            if (ownLine && captured == 0) {
                fail(QStringLiteral("line %1 is a note without its time").arg(m_lineNo));
                return;
            }
            const qint64 next = m_table.count() + qint64(m_rows.size());
            qint64 row = next - m_firstRow; // counted from the file's first row
            if (ownLine)
                row = no && row > 0 && m_lastNo == no ? row - 1 : -1;
            if (m_notes)
                m_notes->push_back({row, captured ? MeasurementTable::msOfPacked(captured) : 0,
                                    QString::fromUtf8(m_f[5].data(), qsizetype(m_f[5].size()))});
            if (ownLine)
                return;
        }
        // The row as the table keeps it: the time of day, the panel's text, the unit's glyph.
        auto intern = [this](std::string_view piece) {
            return m_table.internText(
                QString(m_decoder.decode(QByteArrayView(piece.data(), qsizetype(piece.size())))));
        };
        auto internUnit = [this](std::string_view piece) {
            const QString u =
                QString(m_decoder.decode(QByteArrayView(piece.data(), qsizetype(piece.size()))));
            return m_table.internText(u == QStringLiteral("\u00B0C")   ? QStringLiteral("#")
                                      : u == QStringLiteral("\u00B0F") ? QStringLiteral("?")
                                                                       : u);
        };
        const std::string_view time =
            captured && m_f[1].size() >= 19 ? m_f[1].substr(11, 8) : std::string_view();
        m_rows.push_back({no, m_times.idOf(time, intern),
                          m_values.idOf(m_f[4].empty() ? m_f[2] : m_f[4], intern),
                          m_units.idOf(m_f[3], internUnit), captured});
        m_lastNo = no;
        if (m_rows.size() >= 65536)
            flush();
    }

    MeasurementTable &m_table;
    std::vector<CsvNote> *m_notes;
    const qint64 m_firstRow;
    std::vector<MeasurementTable::IdRow> m_rows;
    std::vector<std::string_view> m_f;
    std::deque<std::string> m_quoted; // quoted fields, until the next feed
    TimeIds m_times;
    PieceIds m_values, m_units;
    QStringDecoder m_decoder{QStringConverter::Utf8};
    std::optional<qint32> m_lastNo;
    qint64 m_lineNo = 0;
    bool m_noteColumn = false;
    QString m_why;
};

} // namespace

LoadStatus loadCsv(const QString &path, MeasurementTable &table, QString *why,
                   std::vector<CsvNote> *notes, qint64 upTo)
{
    const int fd = openRegularFile(path);
    if (fd < 0) {
        *why = QStringLiteral("it cannot be opened as a regular file");
        return LoadStatus::Failed;
    }
    CsvLoader loader(table, notes);
    const LoadStatus status = readLines(fd, loader, nullptr, nullptr, upTo);
    ::close(fd);
    loader.flush();
    if (status == LoadStatus::Ok && loader.whole())
        return LoadStatus::Ok;
    *why = status == LoadStatus::Failed && !loader.failed() ? QStringLiteral("it cannot be read")
                                                            : loader.why();
    return LoadStatus::Failed;
}

} // namespace DataFiles
