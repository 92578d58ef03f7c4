#include "proof/Seal.h"

#include "recording/MeasurementTable.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSysInfo>
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

} // namespace

AuditEntry AuditEntry::now(qint64 rows, const QString &what, const QString &oldValue,
                           const QString &newValue)
{
    static const QString login = loginName(), host = QSysInfo::machineHostName();
    const QDateTime t = QDateTime::currentDateTime();
    return {rows,    t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate),
            login,   host,
            what,    oldValue,
            newValue};
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
    addRow(table.no(row), table.text(row, MeasurementTable::FieldTime),
           table.text(row, MeasurementTable::FieldValue),
           table.text(row, MeasurementTable::FieldUnit));
}

void Seal::addRow(std::optional<qint32> no, QStringView time, QStringView value, QStringView unit)
{
    m_line.clear();
    m_line += "row\t";
    if (no)
        m_line += QByteArray::number(*no);
    m_line += '\t';
    // The time by its digits only: each file keeps the time of day, some with the locale's
    // separator, CSV with a colon.
    for (const QChar c : time)
        if (c.isDigit())
            m_line += char(c.unicode());
    m_line += '\t';
    printable(m_line, value);
    m_line += '\t';
    printable(m_line, unit);
    m_line += '\n';
    m_hash.add(m_line);
    ++m_rows;
}

void Seal::addEntry(const AuditEntry &entry)
{
    m_hash.add("entry\t" + entry.fields() + '\n');
}

QString Seal::text() const
{
    return QString::fromLatin1(hex()) + QLatin1Char('@') + QString::number(m_rows);
}

void Seal::reset()
{
    m_hash.reset();
    m_rows = 0;
}

bool Seal::parse(const QString &text, QByteArray *hex, qint64 *rows)
{
    static const QRegularExpression form(QStringLiteral("^([0-9a-fA-F]{64})@([0-9]{1,12})$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    *hex = m.captured(1).toLatin1().toLower();
    *rows = m.captured(2).toLongLong();
    return true;
}
