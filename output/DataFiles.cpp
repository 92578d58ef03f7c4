#include "output/DataFiles.h"

#include "output/PacketReader.h"
#include "output/PieceIds.h"
#include "output/SafeFile.h"
#include "recording/LocaleInfo.h"
#include "recording/MeasurementTable.h"

#include <QFile>
#include <QFileInfo>
#include <QStringConverter>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DataFiles {

namespace {

constexpr qint64 ChunkRows = 65536;
// No line of a text data file is longer: anything longer is refused, not buffered.
constexpr qint64 MaxLineBytes = qint64(4) << 20;

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

// Text lines are cut straight from the file's bytes: TAB, CR and LF are single bytes in the
// locale's encoding (UTF-8), so only the pieces are decoded, and each distinct piece once.
// The bytes come a buffer at a time; what bounds the speed is then the one pass over them
// and a lookup per changing field.
class TextLoader
{
public:
    // lenient: a line that does not parse is counted and skipped instead of ending the load,
    // and a last line without its line break (torn by a kill) is no row.
    explicit TextLoader(MeasurementTable &table, bool lenient = false)
        : m_table(table), m_lenient(lenient)
    {
        m_rows.reserve(size_t(ChunkRows));
    }
    ~TextLoader() { flush(); }

    // Takes the whole lines of data[0, n) (all of it when last) and returns how many bytes it
    // took; the rest must come again, with more after it. Views into the bytes taken are
    // forgotten before it returns.
    size_t feed(const char *data, size_t n, bool last)
    {
        size_t start = 0;
        while (start < n && !m_failed) {
            size_t end = start;
            while (end < n && data[end] != '\r' && data[end] != '\n')
                ++end;
            // A line ends at CR LF, LF or CR; a CR at the end may still have its LF coming.
            if (!last && (end >= n || (data[end] == '\r' && end + 1 >= n)))
                break;
            if (end >= n && m_lenient)
                break; // torn: not a row
            line(data + start, end - start);
            if (end + 1 < n && data[end] == '\r' && data[end + 1] == '\n')
                ++end;
            start = end + 1;
        }
        m_times.forget();
        for (PieceIds &f : m_fields)
            f.forget();
        return m_failed ? n : std::min(start, n);
    }
    bool failed() const { return m_failed; }
    qint64 skipped() const { return m_skipped; }
    // A line too long to be one of ours ends the load as a failure.
    void tooLong() { m_failed = true; }
    // Rows parsed so far go into the table now.
    void flush()
    {
        m_table.appendRows(m_rows);
        m_rows.clear();
    }
    bool chunkFull() const { return qint64(m_rows.size()) >= ChunkRows; }

private:
    void line(const char *data, size_t size)
    {
        if (m_lineNo < 3) {
            ++m_lineNo; // the date, the empty line and the titles
            return;
        }
        // An empty line is one empty No piece, which is no whole number. (A row without a No
        // is written as an empty piece before its TABs, and loads back.)
        if (size == 0) {
            bad();
            return;
        }
        // The pieces between TABs, stored by position; more than four is an error.
        std::string_view pieces[MeasurementTable::FieldCount];
        int count = 0;
        size_t from = 0;
        for (;;) {
            size_t tab = from;
            while (tab < size && data[tab] != '\t')
                ++tab;
            if (count == MeasurementTable::FieldCount) {
                bad();
                return;
            }
            pieces[count++] = std::string_view(data + from, tab - from);
            if (tab >= size)
                break;
            from = tab + 1;
        }
        bool empty = false;
        const std::optional<qint32> no = parseNoBytes(pieces[0], &empty);
        if (!no && !empty) {
            bad();
            return;
        }
        auto intern = [this](std::string_view piece) {
            const QString text =
                m_decoder.decode(QByteArrayView(piece.data(), qsizetype(piece.size())));
            return m_table.internText(text);
        };
        m_rows.push_back({no, m_times.idOf(pieces[1], intern),
                          m_fields[MeasurementTable::FieldValue].idOf(pieces[2], intern),
                          m_fields[MeasurementTable::FieldUnit].idOf(pieces[3], intern)});
        if (chunkFull())
            flush();
    }

    void bad()
    {
        if (m_lenient)
            ++m_skipped;
        else
            m_failed = true;
    }

    MeasurementTable &m_table;
    bool m_lenient;
    qint64 m_skipped = 0;
    QStringDecoder m_decoder{QStringConverter::System, QStringConverter::Flag::Stateless};
    TimeIds m_times;
    PieceIds m_fields[MeasurementTable::FieldCount];
    std::vector<MeasurementTable::IdRow> m_rows;
    int m_lineNo = 0;
    bool m_failed = false;
};

LoadStatus loadText(const QByteArray &bytes, MeasurementTable &table,
                    std::atomic<qint64> *bytesDone)
{
    TextLoader loader(table);
    loader.feed(bytes.constData(), size_t(bytes.size()), true);
    if (bytesDone)
        bytesDone->store(bytes.size(), std::memory_order_relaxed);
    return loader.failed() ? LoadStatus::Failed : LoadStatus::Ok;
}

// A text file read a buffer at a time, so its bytes never need memory of their own. The
// buffer grows for a long line, up to MaxLineBytes: a longer line is no line of a data file
// (a 2 GB file of zeros is one), and the load fails there.
LoadStatus loadTextFile(int fd, TextLoader &loader, std::atomic<qint64> *bytesDone,
                        const std::atomic<bool> *cancel)
{
    std::vector<char> buffer(size_t(1) << 20);
    size_t have = 0;
    qint64 total = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return LoadStatus::Cancelled;
        const ssize_t n = ::read(fd, buffer.data() + have, buffer.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LoadStatus::Failed;
        have += size_t(n);
        total += n;
        const bool last = n == 0;
        const size_t taken = loader.feed(buffer.data(), have, last);
        if (loader.failed())
            return LoadStatus::Failed;
        std::memmove(buffer.data(), buffer.data() + taken, have - taken);
        have -= taken;
        if (bytesDone)
            bytesDone->store(total - qint64(have), std::memory_order_relaxed);
        if (last)
            return LoadStatus::Ok;
        if (have == buffer.size()) {
            if (qint64(buffer.size()) >= MaxLineBytes) {
                loader.tooLong();
                return LoadStatus::Failed;
            }
            buffer.resize(buffer.size() * 2);
        }
    }
}

LoadStatus loadXml(const QByteArray &bytes, MeasurementTable &table, std::atomic<qint64> *bytesDone)
{
    PacketReader loader;
    const bool whole = loader.feed(bytes.constData(), size_t(bytes.size())) && loader.finish();
    if (bytesDone)
        bytesDone->store(bytes.size(), std::memory_order_relaxed);
    return loader.takeInto(table, whole);
}

LoadStatus loadXmlFile(int fd, MeasurementTable &table, std::atomic<qint64> *bytesDone,
                       const std::atomic<bool> *cancel)
{
    PacketReader loader;
    std::vector<char> buffer(size_t(1) << 20);
    qint64 total = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            loader.cancel();
            return loader.takeInto(table, false);
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LoadStatus::Failed;
        if (n == 0)
            return loader.takeInto(table, loader.finish());
        if (!loader.feed(buffer.data(), size_t(n)))
            return LoadStatus::Failed;
        total += n;
        if (bytesDone)
            bytesDone->store(total, std::memory_order_relaxed);
    }
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

void appendTextRows(QByteArray &out, const MeasurementTable &table, qint64 first, qint64 last)
{
    // A few rows (a reading as it comes) are formatted directly; many rows share the work of
    // their repeated texts.
    if (last - first < 256) {
        for (qint64 r = first; r <= last; ++r)
            appendTextLine(out, table.no(r),
                           encode(textField(table.text(r, MeasurementTable::FieldTime))),
                           encode(textField(table.text(r, MeasurementTable::FieldValue))),
                           encode(textField(table.text(r, MeasurementTable::FieldUnit))));
        return;
    }
    Pieces pieces(table, false);
    for (qint64 r = first; r <= last; ++r)
        pieces.textLine(out, r);
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

int openRegularFile(const QString &path);

LoadStatus loadTable(const QString &path, MeasurementTable &table, bool emptyOnLoad,
                     std::atomic<qint64> *bytesDone, const std::atomic<bool> *cancel)
{
    if (emptyOnLoad)
        table.clear();
    const int fd = openRegularFile(path);
    if (fd < 0)
        return LoadStatus::Failed;
    if (extensionOf(path) != QLatin1String(".xml")) {
        TextLoader loader(table);
        const LoadStatus status = loadTextFile(fd, loader, bytesDone, cancel);
        ::close(fd);
        return status;
    }
    const LoadStatus status = loadXmlFile(fd, table, bytesDone, cancel);
    ::close(fd);
    return status;
}

// A regular file opened for reading, or -1. Opened without blocking, so a pipe cannot hang the
// caller before it is recognised; only a regular file is read (a device such as /dev/zero
// would never end).
int openRegularFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<QByteArray> readRegularFile(const QString &path)
{
    const int fd = openRegularFile(path);
    if (fd < 0)
        return std::nullopt;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

LoadStatus loadJournal(const QString &path, MeasurementTable &table, qint64 *unreadable,
                       std::atomic<qint64> *bytesDone, const std::atomic<bool> *cancel)
{
    const int fd = openRegularFile(path);
    if (fd < 0)
        return LoadStatus::Failed;
    TextLoader loader(table, true);
    const LoadStatus status = loadTextFile(fd, loader, bytesDone, cancel);
    ::close(fd);
    loader.flush();
    if (unreadable)
        *unreadable = loader.skipped() + (status == LoadStatus::Failed ? 1 : 0);
    return status;
}

LoadStatus loadBytes(const QByteArray &bytes, bool xml, MeasurementTable &table,
                     std::atomic<qint64> *bytesDone)
{
    return xml ? loadXml(bytes, table, bytesDone) : loadText(bytes, table, bytesDone);
}

} // namespace DataFiles
