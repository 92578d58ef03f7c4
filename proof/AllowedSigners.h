#pragma once
// The keys a signature is trusted from, in the allowed_signers format of ssh-keygen, read as
// OpenSSH reads it: each line "principals [options] keytype base64 [comment]", where the
// principals are a comma-separated list (quoted when it holds blanks), the options are
// namespaces="pattern-list", valid-after="time", valid-before="time" and cert-authority, and
// the key's type field must name the type its blob holds. A line that does not read is passed
// over and told in problems(); a cert-authority line is too (signatures with certificates are
// not taken). With no file given, --verify trusts the keys here(): this program's own key on
// this machine and those in ~/.config/tx9-logger/allowed_signers.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class AllowedSigners
{
public:
    // False and why when the file cannot be read (it may hold no usable line: then nothing is
    // trusted, and problems() says why).
    bool read(const QString &path, QString *why);
    void readText(const QByteArray &text, const QString &name);
    // A key trusted for every namespace at any time.
    void add(const QByteArray &publicBlob, const QString &principal);

    // The keys this machine trusts when no file is given (and the key this process signs
    // with, when it was given one).
    static const AllowedSigners &here();
    static QString configPath();

    // Whether a signature of namespace ns made with the key whose blob is given is allowed at
    // time: the principals it is allowed for, or none and why (not listed, another namespace,
    // not yet valid, expired).
    struct Verdict
    {
        QStringList Principals;
        QString Why;
        bool Listed = false; // the key is on some line
    };
    Verdict check(const QByteArray &publicBlob, const QByteArray &ns, const QDateTime &at) const;
    // "FILE line N: what is wrong" for each line passed over.
    const QStringList &problems() const { return m_problems; }
    bool empty() const { return m_lines.empty(); }

    // OpenSSH's pattern lists: comma-separated patterns with * and ?, a leading ! negating;
    // 1 when one matches and none negated does, -1 when a negated one matches, 0 otherwise.
    static int matchList(const QString &text, const QString &patterns);
    // An absolute time of the format: YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS, local time or
    // in UTC with a Z (or UTC) after it.
    static std::optional<QDateTime> parseTime(const QByteArray &text);

private:
    static const AllowedSigners &trustedHere();
    struct Line
    {
        QString Principals;
        QByteArray Blob;
        std::optional<QString> Namespaces;
        std::optional<QDateTime> ValidAfter, ValidBefore;
    };
    std::vector<Line> m_lines;
    QStringList m_problems;
};
