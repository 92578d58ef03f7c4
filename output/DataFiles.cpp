// Loading the table: the text format a buffer at a time, the data packet through its reader,
// and only ever from a regular file.

#include "output/DataFiles.h"

#include "output/LineReader.h"
#include "output/PacketReader.h"
#include "output/PieceIds.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QFile>
#include <QStringConverter>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace DataFiles {

namespace {

constexpr qint64 ChunkRows = 65536;

// Text lines are cut straight from the file's bytes: TAB, CR and LF are single bytes in the
// locale's encoding (UTF-8), so only the pieces are decoded, and each distinct piece once.
// The bytes come a buffer at a time; what bounds the speed is then the one pass over them
// and a lookup per changing field.
constexpr std::string_view MarkPrefix = "#break\t";
constexpr std::string_view NotePrefixes[] = {"#note\t", "#note-removed\t"};

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
        const size_t taken = splitLines(data, n, last, m_lenient, [this](const char *d, size_t k) {
            line(d, k);
            return !m_failed;
        });
        m_times.forget();
        for (PieceIds &f : m_fields)
            f.forget();
        return taken;
    }
    bool failed() const { return m_failed; }
    qint64 skipped() const { return m_skipped; }
    // A line too long to be one of ours ends the load as a failure.
    void tooLong() { m_failed = true; }
    // Rows parsed so far go into the table now.
    void flush()
    {
        m_rowsBefore += qint64(m_rows.size());
        m_table.appendRows(m_rows);
        m_rows.clear();
    }
    bool chunkFull() const { return qint64(m_rows.size()) >= ChunkRows; }
    void collectMarks(std::vector<Mark> *marks) { m_marks = marks; }

private:
    void line(const char *data, size_t size)
    {
        if (m_lineNo < 3) {
            ++m_lineNo; // the date, the empty line and the titles
            return;
        }
        if (size > MarkPrefix.size() && std::string_view(data, MarkPrefix.size()) == MarkPrefix) {
            // A mark between rows (the journal's), not a row.
            if (m_marks) {
                const std::string_view rest(data + MarkPrefix.size(), size - MarkPrefix.size());
                const size_t tab = rest.find('\t');
                m_marks->push_back(
                    {m_rowsBefore + qint64(m_rows.size()),
                     QByteArray(rest.data(), qsizetype(std::min(tab, rest.size()))),
                     tab == std::string_view::npos
                         ? QByteArray()
                         : QByteArray(rest.data() + tab + 1, qsizetype(rest.size() - tab - 1))});
            }
            return;
        }
        for (const std::string_view prefix : NotePrefixes)
            if (size > prefix.size() && std::string_view(data, prefix.size()) == prefix) {
                if (m_marks)
                    m_marks->push_back(
                        {m_rowsBefore + qint64(m_rows.size()),
                         QByteArray(prefix.data() + 1, qsizetype(prefix.size()) - 2),
                         QByteArray(data + prefix.size(), qsizetype(size - prefix.size()))});
                return;
            }
        // An empty line is one empty No piece, which is no whole number. (A row without a No
        // is written as an empty piece before its TABs, and loads back.)
        if (size == 0) {
            bad();
            return;
        }
        // The pieces between TABs, stored by position; more than four is an error, but for a
        // fifth that is a capture time (the journal's lines carry one).
        std::string_view pieces[MeasurementTable::FieldCount + 1];
        int count = 0;
        size_t from = 0;
        for (;;) {
            size_t tab = from;
            while (tab < size && data[tab] != '\t')
                ++tab;
            if (count == MeasurementTable::FieldCount + 1) {
                bad();
                return;
            }
            pieces[count++] = std::string_view(data + from, tab - from);
            if (tab >= size)
                break;
            from = tab + 1;
        }
        qint64 captured = 0;
        if (count > MeasurementTable::FieldCount &&
            (captured = CaptureTime::parse(pieces[MeasurementTable::FieldCount])) == 0) {
            bad();
            return;
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
                          m_fields[MeasurementTable::FieldUnit].idOf(pieces[3], intern), captured});
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
    qint64 m_rowsBefore = 0;              // rows of this load already in the table
    std::vector<Mark> *m_marks = nullptr; // where marks are collected, if anywhere
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

LoadStatus loadTable(const QString &path, MeasurementTable &table, bool emptyOnLoad,
                     std::atomic<qint64> *bytesDone, const std::atomic<bool> *cancel,
                     std::vector<Mark> *marks)
{
    if (emptyOnLoad)
        table.clear();
    const int fd = openRegularFile(path);
    if (fd < 0)
        return LoadStatus::Failed;
    if (extensionOf(path) != QLatin1String(".xml")) {
        TextLoader loader(table);
        loader.collectMarks(marks);
        const LoadStatus status = readLines(fd, loader, bytesDone, cancel);
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

QByteArray markLine(const QByteArray &word, qint64 capturedPacked, const QString &cable)
{
    QByteArray c = cable.toUtf8();
    c.replace('\t', ' ').replace('\r', ' ').replace('\n', ' ');
    return QByteArray(MarkPrefix.data(), qsizetype(MarkPrefix.size())) + word + '\t' +
           CaptureTime::text(capturedPacked) + (c.isEmpty() ? QByteArray() : '\t' + c) + "\r\n";
}

LoadStatus loadJournal(const QString &path, MeasurementTable &table, qint64 *unreadable,
                       std::atomic<qint64> *bytesDone, const std::atomic<bool> *cancel,
                       std::vector<Mark> *marks)
{
    const int fd = openRegularFile(path);
    if (fd < 0)
        return LoadStatus::Failed;
    TextLoader loader(table, true);
    loader.collectMarks(marks);
    const LoadStatus status = readLines(fd, loader, bytesDone, cancel);
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
