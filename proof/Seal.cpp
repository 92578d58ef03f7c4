#include "proof/Seal.h"

#include "recording/MeasurementTable.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSysInfo>
#include <algorithm>
#include <pwd.h>
#include <unistd.h>

namespace {

void escapeInto(QByteArray &out, const QString &field)
{
    for (const char c : field.toUtf8()) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
}

std::optional<QString> unescape(QByteArrayView field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == field.size())
            return std::nullopt;
        const char e = field[i];
        out += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == '\\' ? '\\' : '\0';
        if (out.endsWith('\0'))
            return std::nullopt;
    }
    return QString::fromUtf8(out);
}

QString loginName()
{
    if (const passwd *pw = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? QString::number(::geteuid()) : user;
}

// A text without its blanks and control characters: the text file trims its fields and
// replaces what it cannot hold, the XML packet and CSV keep them.
void printable(QByteArray &out, QStringView text)
{
    bool ascii = true;
    for (const QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii) {
        for (const QChar c : text)
            if (c.unicode() > ' ' && c.unicode() != 0x7F)
                out += char(c.unicode());
        return;
    }
    QString kept;
    for (const QChar c : text)
        if (!c.isSpace() && c.category() != QChar::Other_Control)
            kept += c;
    out += kept.toUtf8();
}

// The time by its digits only: each file keeps the time of day, some with the locale's
// separator, CSV with a colon.
void timeDigits(QByteArray &out, QStringView time)
{
    for (const QChar c : time)
        if (c.unicode() >= '0' && c.unicode() <= '9')
            out += char(c.unicode());
}

} // namespace

AuditEntry AuditEntry::now(qint64 rows, const QString &what, const QString &oldValue,
                           const QString &newValue)
{
    static const QString login = loginName(), host = QSysInfo::machineHostName();
    return {rows, timeText(), login, host, what, oldValue, newValue};
}

QString AuditEntry::timeText(qint64 msSinceEpoch)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate);
}

QString AuditEntry::timeText()
{
    return timeText(QDateTime::currentMSecsSinceEpoch());
}

QByteArray AuditEntry::fields() const
{
    QByteArray out;
    const QString *parts[] = {&Time, &Login, &Host, &What, &Old, &New};
    for (const QString *p : parts) {
        if (p != parts[0])
            out += '\t';
        escapeInto(out, *p);
    }
    return out;
}

std::optional<AuditEntry> AuditEntry::fromFields(qint64 rows, QByteArrayView fields)
{
    const QList<QByteArray> f = fields.toByteArray().split('\t');
    if (f.size() != 6 || rows < 0)
        return std::nullopt;
    AuditEntry e;
    e.Rows = rows;
    QString *parts[] = {&e.Time, &e.Login, &e.Host, &e.What, &e.Old, &e.New};
    for (int i = 0; i < 6; ++i) {
        const std::optional<QString> s = unescape(f[i]);
        if (!s)
            return std::nullopt;
        *parts[i] = *s;
    }
    return e;
}

QString AuditEntry::text() const
{
    QString t = QStringLiteral("%1 %2@%3: %4").arg(Time, Login, Host, What);
    if (!Old.isEmpty() || !New.isEmpty())
        t += QStringLiteral(": %1 \u2192 %2")
                 .arg(Old.isEmpty() ? QStringLiteral("(none)") : Old,
                      New.isEmpty() ? QStringLiteral("(none)") : New);
    return t;
}

void Seal::addRow(const MeasurementTable &table, qint64 row)
{
    // Millions of rows at a time (a file checked): each distinct text is made canonical once.
    if (m_cacheOf != &table) {
        m_cache.clear();
        m_times.clear();
        m_cacheOf = &table;
    }
    const std::optional<qint32> no = table.no(row);
    char number[16];
    int n = 0;
    if (no) {
        qint64 v = *no;
        const bool negative = v < 0;
        v = negative ? -v : v;
        do
            number[n++] = char('0' + v % 10);
        while ((v /= 10) > 0);
        if (negative)
            number[n++] = '-';
        std::reverse(number, number + n);
    }
    auto add = [this](const QByteArray &b) { m_waiting.append(b.constData(), size_t(b.size())); };
    m_waiting.append("row\t", 4).append(number, size_t(n)).push_back('\t');
    add(canonical(m_times, table, table.textId(row, MeasurementTable::FieldTime), true));
    m_waiting.push_back('\t');
    add(canonical(m_cache, table, table.textId(row, MeasurementTable::FieldValue), false));
    m_waiting.push_back('\t');
    add(canonical(m_cache, table, table.textId(row, MeasurementTable::FieldUnit), false));
    m_waiting.push_back('\n');
    ++m_rows;
    flushIfFull();
}

const QByteArray &Seal::canonical(std::vector<Cached> &cache, const MeasurementTable &table,
                                  quint32 id, bool digits)
{
    if (id >= cache.size())
        cache.resize(size_t(id) + 1);
    Cached &c = cache[id];
    const QString &text = table.textById(id);
    if (c.Bytes.isNull() || c.Text != text) {
        c.Text = text;
        c.Bytes = QByteArray("");
        if (digits)
            timeDigits(c.Bytes, text);
        else
            printable(c.Bytes, text);
    }
    return c.Bytes;
}

void Seal::addRow(std::optional<qint32> no, QStringView time, QStringView value, QStringView unit)
{
    QByteArray line = "row\t";
    if (no)
        line += QByteArray::number(*no);
    line += '\t';
    timeDigits(line, time);
    line += '\t';
    printable(line, value);
    line += '\t';
    printable(line, unit);
    line += '\n';
    m_waiting.append(line.constData(), size_t(line.size()));
    ++m_rows;
    flushIfFull();
}

void Seal::addEntry(const AuditEntry &entry)
{
    const QByteArray line = "entry\t" + entry.fields() + '\n';
    m_waiting.append(line.constData(), size_t(line.size()));
    flushIfFull();
}

void Seal::addAll(const MeasurementTable &table, const std::vector<AuditEntry> &entries)
{
    size_t e = 0;
    for (qint64 r = 0; r <= table.count(); ++r) {
        for (; e < entries.size() && entries[e].Rows <= r; ++e)
            addEntry(entries[e]);
        if (r < table.count())
            addRow(table, r);
    }
    for (; e < entries.size(); ++e)
        addEntry(entries[e]);
}

void Seal::flushIfFull()
{
    if (m_waiting.size() >= (1 << 16)) {
        m_hash.add(QByteArrayView(m_waiting.data(), qsizetype(m_waiting.size())));
        m_waiting.clear();
    }
}

QByteArray Seal::hex() const
{
    Digest d = m_hash;
    d.add(QByteArrayView(m_waiting.data(), qsizetype(m_waiting.size())));
    return d.value().toHex();
}

QString Seal::text() const
{
    return QString::fromLatin1(hex()) + QLatin1Char('@') + QString::number(m_rows);
}

void Seal::reset()
{
    m_hash.reset();
    m_waiting.clear();
    m_rows = 0;
}

bool Seal::parse(const QString &text, QByteArray *hex, qint64 *rows)
{
    static const QRegularExpression form(QStringLiteral("^([0-9a-fA-F]{64})@([0-9]{1,12})$"));
    // Copied from a page, two letters may have come as one (a ligature): read as written.
    const QRegularExpressionMatch m =
        form.match(text.normalized(QString::NormalizationForm_KC).trimmed());
    if (!m.hasMatch())
        return false;
    *hex = m.captured(1).toLatin1().toLower();
    *rows = m.captured(2).toLongLong();
    return true;
}

std::optional<AuditEntry> AuditEntry::fromJournal(QByteArrayView rest, qint64 row)
{
    const qsizetype tab = rest.indexOf('\t');
    bool number = false;
    if (tab <= 0)
        return std::nullopt;
    rest.first(tab).toByteArray().toLongLong(&number);
    std::optional<AuditEntry> e = number ? fromFields(row, rest.sliced(tab + 1)) : std::nullopt;
    if (e)
        e->Rows = row;
    return e;
}
