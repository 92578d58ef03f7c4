// Writing the table as CSV for spreadsheets (RFC 4180, ISO 8601 times, a decimal point
// whatever the locale), with its note column, through the checked file writer; read back by
// CsvReader.cpp.

#include "output/DataFiles.h"

#include "output/SafeFile.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

namespace DataFiles {

namespace {

void appendCsvField(QByteArray &out, const QByteArray &field)
{
    if (field.contains(',') || field.contains('"') || field.contains('\r') ||
        field.contains('\n')) {
        QByteArray quoted = field;
        quoted.replace('"', "\"\"");
        out += '"' + quoted + '"';
    } else {
        out += field;
    }
}

} // namespace

QByteArray csvHeader(bool noteColumn)
{
    return noteColumn ? QByteArrayLiteral("no,time,value,unit,display,note\r\n")
                      : QByteArrayLiteral("no,time,value,unit,display\r\n");
}

namespace {

// The note column of an export: each row's first note in it, a row's further notes on lines
// of their own after it (no and time, no value), and notes at a moment on lines of their own
// (time only) before the first row that is later.
class NoteColumn
{
public:
    explicit NoteColumn(const std::vector<CsvNote> &notes)
    {
        for (const CsvNote &n : notes)
            if (n.Row >= 0)
                m_onRows.push_back(&n);
            else
                m_moments.push_back(&n);
        std::stable_sort(m_onRows.begin(), m_onRows.end(),
                         [](const CsvNote *a, const CsvNote *b) { return a->Row < b->Row; });
        std::stable_sort(m_moments.begin(), m_moments.end(),
                         [](const CsvNote *a, const CsvNote *b) { return a->TimeMs < b->TimeMs; });
    }
    // Before row r (captured at packed, 0: no time): the moments before it.
    void before(QByteArray &out, qint64 packed)
    {
        if (packed == 0)
            return;
        const qint64 ms = MeasurementTable::msOfPacked(packed);
        while (m_nextMoment < m_moments.size() && m_moments[m_nextMoment]->TimeMs < ms)
            moment(out, *m_moments[m_nextMoment++]);
    }
    // The end of row r's line: its note, and its further notes.
    void end(QByteArray &out, const MeasurementTable &table, qint64 r)
    {
        while (m_nextOnRow < m_onRows.size() && m_onRows[m_nextOnRow]->Row < r)
            ++m_nextOnRow; // a note on a row that is not written
        out += ',';
        bool first = true;
        for (; m_nextOnRow < m_onRows.size() && m_onRows[m_nextOnRow]->Row == r; ++m_nextOnRow) {
            const QByteArray text = m_onRows[m_nextOnRow]->Text.toUtf8();
            if (first) {
                appendCsvField(out, text);
                out += "\r\n";
                first = false;
                continue;
            }
            if (const std::optional<qint32> no = table.no(r))
                out += QByteArray::number(*no);
            out += ',';
            appendTime(out, table.capturedPacked(r));
            out += ",,,,";
            appendCsvField(out, text);
            out += "\r\n";
        }
        if (first)
            out += "\r\n";
    }
    // After the last row: the moments after it.
    void finish(QByteArray &out)
    {
        while (m_nextMoment < m_moments.size())
            moment(out, *m_moments[m_nextMoment++]);
    }

private:
    static void appendTime(QByteArray &out, qint64 packed)
    {
        if (packed) {
            char iso[CaptureTime::Length];
            out.append(iso, CaptureTime::format(packed, iso));
        }
    }
    static void moment(QByteArray &out, const CsvNote &n)
    {
        out += ',';
        appendTime(out, MeasurementTable::packLocal(n.TimeMs));
        out += ",,,,";
        appendCsvField(out, n.Text.toUtf8());
        out += "\r\n";
    }
    std::vector<const CsvNote *> m_onRows, m_moments;
    size_t m_nextOnRow = 0, m_nextMoment = 0;
};

void appendCsvLines(QByteArray &out, const MeasurementTable &table, qint64 first, qint64 last,
                    NoteColumn *notes)
{
    // value: a number with a decimal point, empty for a reading without one (an over-range
    // L, dashes), so that spreadsheets and float() take the column; display: what the panel
    // showed, as it showed it.
    auto valueText = [&](quint32 id) {
        const QString &text = table.textById(id);
        if (!MeasurementTable::numberOf(text))
            return QByteArray();
        QString number = text.trimmed();
        number.replace(QLatin1Char(','), QLatin1Char('.'));
        return number.toUtf8();
    };
    auto unitText = [&](quint32 id) {
        return MeasurementTable::unitName(table.textById(id)).toUtf8();
    };
    auto displayText = [&](quint32 id) { return table.textById(id).trimmed().toUtf8(); };
    // Many rows share few distinct values and units: each is made once then.
    const bool cache = last - first >= 256;
    std::vector<QByteArray> texts[3];
    std::vector<bool> made[3];
    if (cache)
        for (int k = 0; k < 3; ++k) {
            texts[k].resize(table.textIdCount());
            made[k].assign(table.textIdCount(), false);
        }
    auto field = [&](quint32 id, int which) {
        auto make = [&] {
            return which == 0 ? valueText(id) : which == 1 ? unitText(id) : displayText(id);
        };
        if (!cache)
            return make();
        if (!made[which][id]) {
            texts[which][id] = make();
            made[which][id] = true;
        }
        return texts[which][id];
    };
    for (qint64 r = first; r <= last; ++r) {
        const qint64 packed = table.capturedPacked(r);
        if (notes)
            notes->before(out, packed);
        if (const std::optional<qint32> no = table.no(r))
            out += QByteArray::number(*no);
        out += ',';
        if (packed) {
            char iso[CaptureTime::Length];
            out.append(iso, CaptureTime::format(packed, iso));
        }
        const quint32 value = table.textId(r, MeasurementTable::FieldValue);
        out += ',';
        appendCsvField(out, field(value, 0));
        out += ',';
        appendCsvField(out, field(table.textId(r, MeasurementTable::FieldUnit), 1));
        out += ',';
        appendCsvField(out, field(value, 2));
        if (notes)
            notes->end(out, table, r);
        else
            out += "\r\n";
    }
}

} // namespace

void appendCsvRows(QByteArray &out, const MeasurementTable &table, qint64 first, qint64 last)
{
    appendCsvLines(out, table, first, last, nullptr);
}

bool saveCsv(const MeasurementTable &table, const QString &path, std::atomic<qint64> *rowsDone,
             QString *reason, const std::vector<CsvNote> *notes)
{
    SafeFile file(path);
    std::optional<NoteColumn> column;
    if (notes)
        column.emplace(*notes);
    bool saved = file.open() && file.write(csvHeader(notes != nullptr));
    constexpr qint64 Slice = 65536;
    for (qint64 first = 0; saved && first < table.count(); first += Slice) {
        QByteArray chunk;
        const qint64 last = qMin(table.count() - 1, first + Slice - 1);
        appendCsvLines(chunk, table, first, last, column ? &*column : nullptr);
        saved = file.write(chunk);
        if (rowsDone)
            rowsDone->store(last + 1, std::memory_order_relaxed);
    }
    if (saved && column) {
        QByteArray rest;
        column->finish(rest);
        saved = file.write(rest);
    }
    saved = saved && file.commit();
    if (!saved && reason)
        *reason = file.errorString();
    return saved;
}

} // namespace DataFiles
