#pragma once
// A hash taken a piece at a time (SHA-256 or SHA-512, OpenSSL's), whose value so far can be
// read at any moment without ending it: a file that grows is signed again at each sync for
// the cost of its new bytes only.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

struct evp_md_ctx_st;

class Digest
{
public:
    enum class Kind
    {
        Sha256,
        Sha512
    };
    explicit Digest(Kind kind);
    ~Digest();
    Digest(const Digest &other);
    Digest &operator=(const Digest &other);

    void add(QByteArrayView bytes);
    // The hash of everything added so far; more can be added after.
    QByteArray value() const;
    void reset();

    // The hash of a whole file, read in large blocks; false (and why) when it cannot be read.
    static bool ofFile(Kind kind, const QString &path, QByteArray *hash, QString *why,
                       qint64 *size = nullptr);
    static QByteArray of(Kind kind, QByteArrayView bytes);

private:
    Kind m_kind;
    evp_md_ctx_st *m_ctx;
};
