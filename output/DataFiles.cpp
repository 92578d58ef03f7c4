#include "output/DataFiles.h"

#include "decode/LocaleInfo.h"
#include "recording/MeasurementTable.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringConverter>
#include <QXmlStreamReader>

namespace DataFiles {

namespace {

constexpr qint64 ChunkRows = 65536;

QByteArray encode(const QString &text)
{
    QStringEncoder encoder(QStringConverter::System);
    return encoder.encode(text);
}

QString decode(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::System);
    return decoder.decode(bytes);
}

// Writes the chunks produced by `produce` through a temporary file that replaces path only
// once everything has been written.
bool writeAtomically(const QString &path, const std::function<bool(QFileDevice &)> &produce)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        // A device or a pipe is written in place; replacing it would destroy the node.
        QFile device(path);
        if (!device.open(QIODevice::WriteOnly))
            return false;
        const bool ok = produce(device) && device.flush();
        device.close();
        return ok && device.error() == QFileDevice::NoError;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!produce(file)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString textField(const QString &s)
{
    const QString t = trimmed(s);
    return t.isEmpty() ? QStringLiteral("NULL") : t;
}

QString textHeader(const QDate &date)
{
    return QStringLiteral("Report created on: ") + LocaleInfo::shortDate(date) +
           QStringLiteral("\r\n\r\nNo\tTime\tValue\tUnit\r\n");
}

void appendEscaped(QString &out, const QString &value)
{
    for (QChar c : value) {
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

// A whole number as the No field takes it: optional leading blanks and sign, digits, in range.
// An empty piece leaves No empty.
std::optional<qint32> parseNo(QStringView piece, bool *empty)
{
    *empty = piece.isEmpty();
    if (*empty)
        return std::nullopt;
    qsizetype i = 0;
    while (i < piece.size() && piece.at(i) == QLatin1Char(' '))
        ++i;
    bool ok = false;
    const qint64 v = piece.mid(i).toLongLong(&ok);
    if (!ok || i == piece.size() || piece.at(piece.size() - 1).isSpace() ||
        v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(v);
}

LoadStatus loadText(const QByteArray &bytes, MeasurementTable &table)
{
    const QString text = decode(bytes);
    std::vector<MeasurementTable::RowView> rows;
    auto flush = [&] {
        table.appendRows(rows);
        rows.clear();
    };
    int lineNo = 0;
    const QChar *data = text.constData();
    const qsizetype n = text.size();
    qsizetype start = 0;
    while (start < n) {
        qsizetype end = start;
        while (end < n && data[end] != QLatin1Char('\r') && data[end] != QLatin1Char('\n'))
            ++end;
        if (++lineNo >= 4) {
            // The pieces between TABs, stored by position; more than four is an error.
            QStringView pieces[MeasurementTable::FieldCount];
            int count = 0;
            qsizetype from = start;
            for (;;) {
                qsizetype tab = from;
                while (tab < end && data[tab] != QLatin1Char('\t'))
                    ++tab;
                if (count == MeasurementTable::FieldCount) {
                    flush();
                    return LoadStatus::Failed;
                }
                pieces[count++] = QStringView(data + from, tab - from);
                if (tab >= end)
                    break;
                from = tab + 1;
            }
            bool empty = false;
            const std::optional<qint32> no = parseNo(pieces[0], &empty);
            if (!no && !empty) {
                flush();
                return LoadStatus::Failed;
            }
            rows.push_back({no, pieces[1], pieces[2], pieces[3]});
            if (qint64(rows.size()) >= ChunkRows)
                flush();
        }
        // A line ends at CR LF, LF or CR.
        if (end + 1 < n && data[end] == QLatin1Char('\r') && data[end + 1] == QLatin1Char('\n'))
            ++end;
        start = end + 1;
    }
    flush();
    return LoadStatus::Ok;
}

LoadStatus loadXml(const QByteArray &bytes, MeasurementTable &table)
{
    // The packet goes into a temporary table first; a packet that cannot be read adds nothing.
    // The rows before the first one whose first field is no whole number are kept.
    QXmlStreamReader xml(bytes);
    QStringList fields;
    MeasurementTable temp;
    std::vector<MeasurementTable::Row> batch;
    qint64 firstBad = -1, parsed = 0;
    bool inFields = false, sawPacket = false, sawEnd = false;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::DTD || token == QXmlStreamReader::EntityReference)
            return LoadStatus::Failed; // no DTDs, no entities: nothing is ever expanded
        if (token == QXmlStreamReader::StartElement) {
            const auto name = xml.name();
            if (name == QLatin1String("DATAPACKET")) {
                sawPacket = true;
            } else if (name == QLatin1String("FIELDS")) {
                inFields = true;
            } else if (name == QLatin1String("FIELD") && inFields) {
                fields << xml.attributes().value(QLatin1String("attrname")).toString();
                if (fields.size() > MeasurementTable::FieldCount)
                    return LoadStatus::Failed;
            } else if (name == QLatin1String("ROW")) {
                // By position: the packet's first field goes into No, the second into Time...
                const auto attrs = xml.attributes();
                auto field = [&](int k) {
                    return k < fields.size() ? attrs.value(fields[k]).toString() : QString();
                };
                MeasurementTable::Row row;
                bool empty = false;
                const QString first = field(0);
                row.No = parseNo(first, &empty);
                if (!row.No && !empty && firstBad < 0)
                    firstBad = parsed;
                row.Time = field(1);
                row.Value = field(2);
                row.Unit = field(3);
                batch.push_back(std::move(row));
                ++parsed;
                if (qint64(batch.size()) >= ChunkRows) {
                    temp.appendRows(batch);
                    batch.clear();
                }
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (xml.name() == QLatin1String("FIELDS"))
                inFields = false;
            else if (xml.name() == QLatin1String("DATAPACKET"))
                sawEnd = true;
        }
    }
    temp.appendRows(batch);
    if (xml.hasError() || !sawPacket || !sawEnd)
        return LoadStatus::Failed;
    const qint64 good = firstBad < 0 ? temp.count() : firstBad;
    std::vector<MeasurementTable::Row> rows;
    for (qint64 r = 0; r < good; ++r) {
        rows.push_back(temp.row(r));
        if (qint64(rows.size()) >= ChunkRows) {
            table.appendRows(rows);
            rows.clear();
        }
    }
    table.appendRows(rows);
    return firstBad < 0 ? LoadStatus::Ok : LoadStatus::Failed;
}

} // namespace

QString extensionOf(const QString &path)
{
    const qsizetype slash =
        qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= slash)
        return QString();
    return path.mid(dot).toLower();
}

void SplitByDelimiter(const QString &line, QChar delimiter, QStringList &list)
{
    list.clear();
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = line.indexOf(delimiter, from);
        if (at < 0) {
            list << line.mid(from);
            return;
        }
        list << line.mid(from, at - from);
        from = at + 1;
    }
}

QString trimmed(const QString &s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s.at(b).unicode() <= ' ')
        ++b;
    while (e > b && s.at(e - 1).unicode() <= ' ')
        --e;
    return s.mid(b, e - b);
}

namespace {

// Writes the whole table in one format. Each distinct text of each field is formatted and
// encoded once, then copied for every row that holds it.
bool writeTable(QIODevice &file, const MeasurementTable &table, bool xml, const QDate &date)
{
    QByteArray chunk = encode(xml ? xmlHead(table) : textHeader(date));
    const size_t fields = MeasurementTable::FieldCount;
    std::vector<QByteArray> cache(table.textIdCount() * fields);
    std::vector<bool> cached(cache.size(), false);
    auto piece = [&](quint32 id, int field) -> const QByteArray & {
        const size_t k = id * fields + size_t(field);
        if (!cached[k]) {
            const QString &t = table.textById(id);
            QString formatted;
            if (!xml) {
                formatted = textField(t);
            } else if (!t.isEmpty()) {
                formatted =
                    QLatin1Char(' ') + MeasurementTable::fieldName(field) + QLatin1String("=\"");
                appendEscaped(formatted, t);
                formatted += QLatin1Char('"');
            }
            cache[k] = encode(formatted);
            cached[k] = true;
        }
        return cache[k];
    };
    for (qint64 r = 0; r < table.count(); ++r) {
        const auto no = table.no(r);
        if (xml) {
            chunk += "<ROW RowState=\"4\"";
            if (no)
                chunk += " No=\"" + QByteArray::number(*no) + '"';
            for (int f = MeasurementTable::FieldTime; f < MeasurementTable::FieldCount; ++f)
                chunk += piece(table.textId(r, MeasurementTable::Field(f)), f);
            chunk += "/>";
        } else {
            if (no)
                chunk += QByteArray::number(*no);
            for (int f = MeasurementTable::FieldTime; f < MeasurementTable::FieldCount; ++f) {
                chunk += '\t';
                chunk += piece(table.textId(r, MeasurementTable::Field(f)), f);
            }
            chunk += "\r\n";
        }
        if (chunk.size() >= (1 << 20)) {
            if (file.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    if (xml)
        chunk += encode(XmlTail);
    return file.write(chunk) == chunk.size();
}

} // namespace

QByteArray textFile(const MeasurementTable &table, const QDate &date)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    writeTable(buffer, table, false, date);
    return buffer.data();
}

QByteArray xmlPacket(const MeasurementTable &table)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    writeTable(buffer, table, true, QDate());
    return buffer.data();
}

bool saveTable(const MeasurementTable &table, const QString &path, const QDate &date)
{
    const bool xml = extensionOf(path) == QLatin1String(".xml");
    return writeAtomically(path,
                           [&](QFileDevice &file) { return writeTable(file, table, xml, date); });
}

LoadStatus loadTable(const QString &path, MeasurementTable &table, bool emptyOnLoad)
{
    if (emptyOnLoad)
        table.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return LoadStatus::Failed;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return LoadStatus::Failed;
    return loadBytes(bytes, extensionOf(path) == QLatin1String(".xml"), table);
}

LoadStatus loadBytes(const QByteArray &bytes, bool xml, MeasurementTable &table)
{
    return xml ? loadXml(bytes, table) : loadText(bytes, table);
}

} // namespace DataFiles
