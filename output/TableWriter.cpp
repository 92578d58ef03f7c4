// Writing the table as the program's own files: the text lines and the data packet, made from
// each distinct text's encoding once, and saved through the checked file writer. The CSV export
// is written in CsvWriter.cpp, beside its reader.

#include "output/DataFiles.h"

#include "output/SafeFile.h"
#include "recording/CaptureTime.h"
#include "recording/LocaleInfo.h"
#include "recording/MeasurementTable.h"

#include <QStringConverter>
#include <charconv>

namespace DataFiles {

namespace {

QByteArray encode(const QString &text)
{
    QStringEncoder encoder(QStringConverter::System);
    return encoder.encode(text);
}

QString textHeader(const QDate &date)
{
    return QStringLiteral("Report created on: ") + LocaleInfo::shortDate(date) +
           QStringLiteral("\r\n\r\nNo\tTime\tValue\tUnit\r\n");
}

// Characters that XML 1.0 cannot hold at all, even as references: the C0 controls other than
// TAB, LF and CR, U+FFFE, U+FFFF and halves of surrogate pairs standing alone.
bool xmlCannotHold(const QString &s, qsizetype i)
{
    const char16_t c = s.at(i).unicode();
    if (c < 0x20)
        return c != '\t' && c != '\n' && c != '\r';
    if (c == 0xFFFE || c == 0xFFFF)
        return true;
    if (QChar::isHighSurrogate(c))
        return i + 1 >= s.size() || !s.at(i + 1).isLowSurrogate();
    if (QChar::isLowSurrogate(c))
        return i == 0 || !s.at(i - 1).isHighSurrogate();
    return false;
}

// TAB, CR and LF would break the text format's lines and columns; a half surrogate pair
// cannot be encoded at all.
QString textSafe(const QString &s)
{
    QString out = s;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const QChar c = out.at(i);
        if (c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            out[i] = QLatin1Char(' ');
        else if (c.isSurrogate() && xmlCannotHold(s, i))
            out[i] = QChar::ReplacementCharacter;
    }
    return out;
}

QString textField(const QString &s)
{
    const QString t = trimmed(textSafe(s));
    return t.isEmpty() ? QStringLiteral("NULL") : t;
}

void appendEscaped(QString &out, const QString &value)
{
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = xmlCannotHold(value, i) ? QChar(QChar::ReplacementCharacter) : value.at(i);
        switch (c.unicode()) {
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '\'':
            out += QLatin1String("&apos;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\r':
            out += QLatin1String("&#013;");
            break;
        case '\n':
            out += QLatin1String("&#010;");
            break;
        case '\t':
            out += QLatin1String("&#009;");
            break;
        case '\\':
            out += QLatin1String("&#092;");
            break;
        default:
            out += c;
        }
    }
}

QString xmlHead(const MeasurementTable &table)
{
    QString out = QStringLiteral(
        "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
        "<FIELD attrname=\"No\" fieldtype=\"i4\"/>"
        "<FIELD attrname=\"Time\" fieldtype=\"string\" WIDTH=\"20\"/>"
        "<FIELD attrname=\"Value\" fieldtype=\"string\" WIDTH=\"20\"/>"
        "<FIELD attrname=\"Unit\" fieldtype=\"string\" WIDTH=\"20\"/></FIELDS>");
    if (table.count() == 0) {
        out += QLatin1String("<PARAMS/>");
    } else {
        out += QLatin1String("<PARAMS CHANGE_LOG=\"");
        for (qint64 r = 0; r < table.count(); ++r) {
            if (r)
                out += QLatin1Char(' ');
            out += QString::number(r + 1) + QLatin1String(" 0 4");
        }
        out += QLatin1String("\"/>");
    }
    out += QLatin1String("</METADATA><ROWDATA>");
    return out;
}

const QString XmlTail = QStringLiteral("</ROWDATA></DATAPACKET>");

} // namespace

namespace {

// One line of the text format from its encoded pieces.
void appendTextLine(QByteArray &out, const std::optional<qint32> &no, const QByteArray &time,
                    const QByteArray &value, const QByteArray &unit)
{
    char number[16];
    const char *end = no ? std::to_chars(number, number + sizeof number, *no).ptr : number;
    out.append(number, end - number);
    out += '\t';
    out += time;
    out += '\t';
    out += value;
    out += '\t';
    out += unit;
    out += "\r\n";
}

// The encoded form of each distinct text of a table, made once and then copied for every row
// that holds it. Text lines use the same form in every field; XML attributes carry the field
// name.
class Pieces
{
public:
    Pieces(const MeasurementTable &table, bool xml)
        : m_table(table), m_xml(xml), m_fields(xml ? MeasurementTable::FieldCount : 1),
          m_cache(table.textIdCount() * m_fields), m_cached(m_cache.size(), false)
    {}
    const QByteArray &operator()(qint64 row, MeasurementTable::Field field)
    {
        const quint32 id = m_table.textId(row, field);
        const size_t k = m_xml ? id * m_fields + size_t(field) : id;
        if (!m_cached[k]) {
            const QString &t = m_table.textById(id);
            QString formatted;
            if (!m_xml) {
                formatted = textField(t);
            } else if (!t.isEmpty()) {
                formatted =
                    QLatin1Char(' ') + MeasurementTable::fieldName(field) + QLatin1String("=\"");
                appendEscaped(formatted, t);
                formatted += QLatin1Char('"');
            }
            m_cache[k] = encode(formatted);
            m_cached[k] = true;
        }
        return m_cache[k];
    }
    void textLine(QByteArray &out, qint64 row)
    {
        appendTextLine(out, m_table.no(row), (*this)(row, MeasurementTable::FieldTime),
                       (*this)(row, MeasurementTable::FieldValue),
                       (*this)(row, MeasurementTable::FieldUnit));
    }

private:
    const MeasurementTable &m_table;
    bool m_xml;
    size_t m_fields;
    std::vector<QByteArray> m_cache;
    std::vector<bool> m_cached;
};

// Writes the whole table in one format through write(bytes), which returns false on failure.
template <typename Write>
bool writeTable(Write write, const MeasurementTable &table, bool xml, const QDate &date,
                std::atomic<qint64> *rowsDone = nullptr)
{
    QByteArray chunk = encode(xml ? xmlHead(table) : textHeader(date));
    Pieces piece(table, xml);
    for (qint64 r = 0; r < table.count(); ++r) {
        if (xml) {
            chunk += "<ROW RowState=\"4\"";
            if (const auto no = table.no(r))
                chunk += " No=\"" + QByteArray::number(*no) + '"';
            for (int f = MeasurementTable::FieldTime; f < MeasurementTable::FieldCount; ++f)
                chunk += piece(r, MeasurementTable::Field(f));
            chunk += "/>";
        } else {
            piece.textLine(chunk, r);
        }
        if (chunk.size() >= (1 << 20)) {
            if (!write(chunk))
                return false;
            chunk.clear();
            if (rowsDone)
                rowsDone->store(r + 1, std::memory_order_relaxed);
        }
    }
    if (xml)
        chunk += encode(XmlTail);
    return write(chunk);
}

} // namespace

QByteArray textFileHeader(const QDate &date)
{
    return encode(textHeader(date));
}

void appendTextRows(QByteArray &out, const MeasurementTable &table, qint64 first, qint64 last,
                    bool withCapture)
{
    auto capture = [&](qint64 r) {
        const qint64 packed = withCapture ? table.capturedPacked(r) : 0;
        if (packed == 0)
            return;
        char iso[CaptureTime::Length];
        out.chop(2); // before the line break
        out += '\t';
        out.append(iso, CaptureTime::format(packed, iso));
        out += "\r\n";
    };
    // A few rows (a reading as it comes) are formatted directly; many rows share the work of
    // their repeated texts.
    if (last - first < 256) {
        for (qint64 r = first; r <= last; ++r) {
            appendTextLine(out, table.no(r),
                           encode(textField(table.text(r, MeasurementTable::FieldTime))),
                           encode(textField(table.text(r, MeasurementTable::FieldValue))),
                           encode(textField(table.text(r, MeasurementTable::FieldUnit))));
            capture(r);
        }
        return;
    }
    Pieces pieces(table, false);
    for (qint64 r = first; r <= last; ++r) {
        pieces.textLine(out, r);
        capture(r);
    }
}

namespace {
QByteArray inMemory(const MeasurementTable &table, bool xml, const QDate &date)
{
    QByteArray out;
    writeTable(
        [&out](const QByteArray &chunk) {
            out += chunk;
            return true;
        },
        table, xml, date);
    return out;
}
} // namespace

QByteArray textFile(const MeasurementTable &table, const QDate &date)
{
    return inMemory(table, false, date);
}

QByteArray xmlPacket(const MeasurementTable &table)
{
    return inMemory(table, true, QDate());
}

bool saveTable(const MeasurementTable &table, const QString &path, const QDate &date,
               std::atomic<qint64> *rowsDone, QString *reason)
{
    const bool xml = extensionOf(path) == QLatin1String(".xml");
    SafeFile file(path);
    const bool saved = file.open() &&
                       writeTable([&file](const QByteArray &chunk) { return file.write(chunk); },
                                  table, xml, date, rowsDone) &&
                       file.commit();
    if (!saved && reason)
        *reason = file.errorString();
    return saved;
}

} // namespace DataFiles
