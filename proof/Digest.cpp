#include "proof/Digest.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"

#include <cerrno>
#include <openssl/evp.h>
#include <stdexcept>
#include <unistd.h>

namespace {

const EVP_MD *mdOf(Digest::Kind kind)
{
    return kind == Digest::Kind::Sha256 ? EVP_sha256() : EVP_sha512();
}

} // namespace

Digest::Digest(Kind kind) : m_kind(kind), m_ctx(EVP_MD_CTX_new())
{
    if (!m_ctx || EVP_DigestInit_ex(m_ctx, mdOf(kind), nullptr) != 1)
        throw std::runtime_error("the hash cannot be started");
}

Digest::~Digest()
{
    EVP_MD_CTX_free(m_ctx);
}

Digest::Digest(const Digest &other) : m_kind(other.m_kind), m_ctx(EVP_MD_CTX_new())
{
    if (!m_ctx || EVP_MD_CTX_copy_ex(m_ctx, other.m_ctx) != 1)
        throw std::runtime_error("the hash cannot be copied");
}

Digest &Digest::operator=(const Digest &other)
{
    if (this != &other) {
        m_kind = other.m_kind;
        if (EVP_MD_CTX_copy_ex(m_ctx, other.m_ctx) != 1)
            throw std::runtime_error("the hash cannot be copied");
    }
    return *this;
}

void Digest::add(QByteArrayView bytes)
{
    EVP_DigestUpdate(m_ctx, bytes.data(), size_t(bytes.size()));
}

QByteArray Digest::value() const
{
    Digest copy(*this);
    QByteArray out(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int n = 0;
    EVP_DigestFinal_ex(copy.m_ctx, reinterpret_cast<unsigned char *>(out.data()), &n);
    out.resize(qsizetype(n));
    return out;
}

void Digest::reset()
{
    EVP_DigestInit_ex(m_ctx, mdOf(m_kind), nullptr);
}

QByteArray Digest::of(Kind kind, QByteArrayView bytes)
{
    Digest d(kind);
    d.add(bytes);
    return d.value();
}

bool Digest::ofFile(Kind kind, const QString &path, QByteArray *hash, QString *why, qint64 *size)
{
    const int fd = DataFiles::openRegularFile(path);
    if (fd < 0) {
        *why = QStringLiteral("it cannot be read (not a regular file, or %1)")
                   .arg(FileIo::reason(errno).toLower());
        return false;
    }
    Digest d(kind);
    QByteArray block(1 << 20, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), size_t(block.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = QStringLiteral("it cannot be read (%1)").arg(FileIo::reason(errno));
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        d.add(QByteArrayView(block.constData(), n));
        total += n;
    }
    ::close(fd);
    *hash = d.value();
    if (size)
        *size = total;
    return true;
}
