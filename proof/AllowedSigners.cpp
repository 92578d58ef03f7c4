#include "proof/AllowedSigners.h"

#include "output/SafeFile.h"
#include "proof/Signer.h"
#include "proof/SigningKey.h"
#include "proof/SshWire.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

void skipBlanks(const QByteArray &s, qsizetype &at)
{
    while (at < s.size() && blank(s[at]))
        ++at;
}

// The next word as OpenSSH's strdelimw takes it: up to a blank, or, from a quote, up to the
// next quote (the quote dropped); none when a quote is not closed or nothing follows it.
std::optional<QByteArray> word(const QByteArray &s, qsizetype &at, bool *more)
{
    const qsizetype start = at;
    QByteArray out;
    while (at < s.size() && !blank(s[at]) && s[at] != '"')
        out += s[at++];
    *more = at < s.size();
    if (at < s.size() && s[at] == '"') {
        const qsizetype close = s.indexOf('"', at + 1);
        if (close < 0)
            return std::nullopt;
        out += s.mid(at + 1, close - at - 1);
        at = close + 1;
        *more = true;
    } else if (at == start && at >= s.size()) {
        return std::nullopt;
    }
    skipBlanks(s, at);
    return out;
}

// The type names a key's type field may have, and the type its blob must then hold.
std::optional<QByteArray> blobTypeOf(const QByteArray &name)
{
    static const QList<QByteArray> names{
        "ssh-ed25519",
        "ssh-rsa",
        "ssh-dss",
        "ecdsa-sha2-nistp256",
        "ecdsa-sha2-nistp384",
        "ecdsa-sha2-nistp521",
        "sk-ecdsa-sha2-nistp256@openssh.com",
        "sk-ssh-ed25519@openssh.com",
        "ssh-ed25519-cert-v01@openssh.com",
        "ssh-rsa-cert-v01@openssh.com",
        "ecdsa-sha2-nistp256-cert-v01@openssh.com",
    };
    if (names.contains(name))
        return name;
    const QByteArray lower = name.toLower();
    if (lower == "ed25519")
        return QByteArray("ssh-ed25519");
    if (lower == "rsa")
        return QByteArray("ssh-rsa");
    if (lower == "dsa")
        return QByteArray("ssh-dss");
    return std::nullopt;
}

// A key "type base64" at at: its blob, when the type is known and the blob holds that type.
std::optional<QByteArray> key(const QByteArray &s, qsizetype &at)
{
    qsizetype i = at;
    qsizetype end = i;
    while (end < s.size() && !blank(s[end]))
        ++end;
    const std::optional<QByteArray> type = blobTypeOf(s.mid(i, end - i));
    if (!type)
        return std::nullopt;
    i = end;
    skipBlanks(s, i);
    end = i;
    while (end < s.size() && !blank(s[end]))
        ++end;
    const QByteArray text = s.mid(i, end - i);
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || text.isEmpty())
        return std::nullopt;
    SshWire::Reader r(*decoded);
    const std::optional<QByteArray> inBlob = r.string(256);
    if (!r.ok() || *inBlob != *type)
        return std::nullopt;
    at = end;
    return *decoded;
}

// The quoted value of an option at at ("..."), a \" within it a quote.
std::optional<QString> dequote(const QByteArray &s, qsizetype &at, QString *why)
{
    if (at >= s.size() || s[at] != '"') {
        *why = QStringLiteral("missing start quote");
        return std::nullopt;
    }
    QByteArray out;
    qsizetype i = at + 1;
    for (; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '"')
            ++i;
        out += s[i];
    }
    if (i >= s.size()) {
        *why = QStringLiteral("missing end quote");
        return std::nullopt;
    }
    at = i + 1;
    return QString::fromUtf8(out);
}

bool optionIs(const QByteArray &s, qsizetype &at, const char *name)
{
    const qsizetype n = qsizetype(qstrlen(name));
    if (s.size() - at <= n || qstrnicmp(s.constData() + at, name, n) != 0 || s[at + n] != '=')
        return false;
    at += n + 1;
    return true;
}

bool wildcardMatch(QStringView text, QStringView pattern)
{
    // Iterative * and ? matching, as OpenSSH's match_pattern.
    qsizetype t = 0, p = 0, star = -1, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == QLatin1Char('?') || pattern[p] == text[t])) {
            ++t, ++p;
        } else if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            star = p++;
            mark = t;
        } else if (star >= 0) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

} // namespace

int AllowedSigners::matchList(const QString &text, const QString &patterns)
{
    bool matched = false;
    for (const QString &raw : patterns.split(QLatin1Char(','))) {
        const bool negated = raw.startsWith(QLatin1Char('!'));
        const QStringView pattern = negated ? QStringView(raw).mid(1) : QStringView(raw);
        if (!wildcardMatch(text, pattern))
            continue;
        if (negated)
            return -1;
        matched = true;
    }
    return matched ? 1 : 0;
}

std::optional<QDateTime> AllowedSigners::parseTime(const QByteArray &text)
{
    QByteArray digits = text;
    bool utc = false;
    if (digits.endsWith('Z') || digits.endsWith('z')) {
        digits.chop(1);
        utc = true;
    } else if (digits.toUpper().endsWith("UTC")) {
        digits.chop(3);
        utc = true;
    }
    for (const char c : digits)
        if (c < '0' || c > '9')
            return std::nullopt;
    const char *form = digits.size() == 8    ? "yyyyMMdd"
                       : digits.size() == 12 ? "yyyyMMddHHmm"
                       : digits.size() == 14 ? "yyyyMMddHHmmss"
                                             : nullptr;
    if (!form)
        return std::nullopt;
    QDateTime t = QDateTime::fromString(QString::fromLatin1(digits), QString::fromLatin1(form));
    if (!t.isValid())
        return std::nullopt;
    if (utc)
        t = QDateTime(t.date(), t.time(), Qt::UTC);
    return t;
}

bool AllowedSigners::read(const QString &path, QString *why)
{
    // A regular file, read without blocking and only so far: never a pipe or a device.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st
    {
    };
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (16 << 20)) {
        const int error = errno;
        *why = fd < 0 ? QStringLiteral("%1 cannot be read (%2)").arg(path, FileIo::reason(error))
                      : QStringLiteral("%1 cannot be read (it is not a file of keys)").arg(path);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    QFile f;
    QByteArray text;
    if (f.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        text = f.read(16 << 20);
    ::close(fd);
    readText(text, path);
    return true;
}

void AllowedSigners::readText(const QByteArray &text, const QString &name)
{
    qint64 lineNo = 0;
    for (const QByteArray &raw : text.split('\n')) {
        ++lineNo;
        QByteArray s = raw;
        if (s.endsWith('\r'))
            s.chop(1);
        qsizetype at = 0;
        skipBlanks(s, at);
        if (at >= s.size() || s[at] == '#')
            continue;
        auto problem = [&](const QString &what) {
            m_problems << QStringLiteral("%1 line %2: %3").arg(name).arg(lineNo).arg(what);
        };
        bool more = false;
        const std::optional<QByteArray> principals = word(s, at, &more);
        if (!principals || !more || at >= s.size()) {
            problem(QStringLiteral("it does not read"));
            continue;
        }
        Line line;
        line.Principals = QString::fromUtf8(*principals);
        std::optional<QByteArray> blob = key(s, at);
        bool ca = false;
        if (!blob) {
            // Options first: up to the first blank outside quotes.
            const qsizetype opts = at;
            bool quoted = false;
            while (at < s.size() && (quoted || !blank(s[at])))
                quoted = s[at++] == '"' ? !quoted : quoted;
            if (quoted) {
                problem(QStringLiteral("its options do not read"));
                continue;
            }
            if (at >= s.size()) {
                problem(QStringLiteral("it has no key"));
                continue;
            }
            const QByteArray options = s.mid(opts, at - opts);
            skipBlanks(s, at);
            if (!(blob = key(s, at))) {
                problem(QStringLiteral("its key does not read (or is not of the type it names)"));
                continue;
            }
            QString why;
            qsizetype o = 0;
            while (o < options.size() && why.isEmpty()) {
                if (qstrnicmp(options.constData() + o, "cert-authority", 14) == 0 &&
                    (o + 14 == options.size() || options[o + 14] == ',')) {
                    ca = true;
                    o += 14;
                } else if (optionIs(options, o, "namespaces")) {
                    if (line.Namespaces)
                        why = QStringLiteral("multiple \"namespaces\" clauses");
                    else
                        line.Namespaces = dequote(options, o, &why);
                } else if (optionIs(options, o, "valid-after") ||
                           optionIs(options, o, "valid-before")) {
                    const bool after = options.mid(0, o).toLower().endsWith("valid-after=");
                    std::optional<QDateTime> &slot = after ? line.ValidAfter : line.ValidBefore;
                    const std::optional<QString> value = dequote(options, o, &why);
                    if (value && slot)
                        why = QStringLiteral("multiple \"%1\" clauses")
                                  .arg(after ? QStringLiteral("valid-after")
                                             : QStringLiteral("valid-before"));
                    else if (value && !(slot = parseTime(value->toLatin1())))
                        why = QStringLiteral("invalid \"%1\" time")
                                  .arg(after ? QStringLiteral("valid-after")
                                             : QStringLiteral("valid-before"));
                } else {
                    why = QStringLiteral("unsupported option");
                }
                if (!why.isEmpty() || o >= options.size())
                    break;
                if (options[o] != ',')
                    why = QStringLiteral("unknown key option");
                else if (++o >= options.size())
                    why = QStringLiteral("unexpected end-of-options");
            }
            if (why.isEmpty() && line.ValidAfter && line.ValidBefore &&
                *line.ValidBefore <= *line.ValidAfter)
                why = QStringLiteral("\"valid-before\" time is before \"valid-after\"");
            if (!why.isEmpty()) {
                problem(QStringLiteral("bad options: %1").arg(why));
                continue;
            }
        }
        if (ca) {
            problem(QStringLiteral("a cert-authority line is not taken: signatures made with "
                                   "certificates are not"));
            continue;
        }
        line.Blob = *blob;
        m_lines.push_back(line);
    }
}

void AllowedSigners::add(const QByteArray &publicBlob, const QString &principal)
{
    m_lines.push_back({principal, publicBlob, std::nullopt, std::nullopt, std::nullopt});
}

QString AllowedSigners::configPath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/tx9-logger/allowed_signers");
}

const AllowedSigners &AllowedSigners::here()
{
    // The key this process signs with (--signing-key) is trusted by its own reports too.
    if (const std::optional<QByteArray> signing = Signer::loadedPublicBlob()) {
        static AllowedSigners withSigning;
        static QByteArray added;
        static QMutex lock;
        const QMutexLocker locked(&lock);
        if (added != *signing) {
            withSigning = AllowedSigners(trustedHere());
            withSigning.add(*signing, SigningKey::defaultPrincipal());
            added = *signing;
        }
        return withSigning;
    }
    return trustedHere();
}

const AllowedSigners &AllowedSigners::trustedHere()
{
    static const AllowedSigners trusted = [] {
        AllowedSigners s;
        QString why;
        // The program's own key, read, never made here.
        if (const std::optional<SigningKey> own =
                SigningKey::readExisting(SigningKey::defaultPath(), &why))
            s.add(own->publicBlob(), SigningKey::defaultPrincipal());
        if (QFile::exists(configPath()))
            s.read(configPath(), &why);
        return s;
    }();
    return trusted;
}

AllowedSigners::Verdict AllowedSigners::check(const QByteArray &publicBlob, const QByteArray &ns,
                                              const QDateTime &at) const
{
    Verdict v;
    const QString name = QString::fromUtf8(ns);
    for (const Line &l : m_lines) {
        if (l.Blob != publicBlob)
            continue;
        v.Listed = true;
        QString why;
        if (l.Namespaces && matchList(name, *l.Namespaces) != 1)
            why = QStringLiteral("its key is allowed for the namespaces \"%1\", not for %2")
                      .arg(*l.Namespaces, name);
        else if (l.ValidAfter && at < *l.ValidAfter)
            why = QStringLiteral("its key is valid only from %1, and it was signed at %2")
                      .arg(l.ValidAfter->toString(Qt::ISODate), at.toString(Qt::ISODate));
        else if (l.ValidBefore && at > *l.ValidBefore)
            why = QStringLiteral("its key expired at %1, and it was signed at %2")
                      .arg(l.ValidBefore->toString(Qt::ISODate), at.toString(Qt::ISODate));
        if (why.isEmpty()) {
            for (const QString &p : l.Principals.split(QLatin1Char(',')))
                if (!v.Principals.contains(p))
                    v.Principals << p;
        } else if (v.Why.isEmpty()) {
            v.Why = why;
        }
    }
    if (!v.Principals.isEmpty())
        v.Why.clear();
    return v;
}
