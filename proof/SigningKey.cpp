#include "proof/SigningKey.h"

#include "output/SafeFile.h"
#include "proof/Digest.h"
#include "proof/SshWire.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <cerrno>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QByteArray KeyType = "ssh-ed25519";
const QByteArray Magic("openssh-key-v1\0", 15);
const QByteArray Label = "OPENSSH PRIVATE KEY";

struct PkeyFree
{
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct CtxFree
{
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

const unsigned char *bytes(const QByteArray &b)
{
    return reinterpret_cast<const unsigned char *>(b.constData());
}

// Secret bytes gone from memory: wiped by their last holder (a shared copy is left alone).
void wipe(QByteArray &secret)
{
    if (!secret.isEmpty() && secret.isDetached())
        OPENSSL_cleanse(secret.data(), size_t(secret.size()));
    secret.clear();
}

// Buffers that held secret bytes, wiped when the scope ends however it ends.
class Wiping
{
public:
    Wiping &operator<<(std::optional<QByteArray> &b)
    {
        m_optional.push_back(&b);
        return *this;
    }
    Wiping &operator<<(QByteArray &b)
    {
        m_plain.push_back(&b);
        return *this;
    }
    ~Wiping()
    {
        for (std::optional<QByteArray> *b : m_optional)
            if (*b)
                wipe(**b);
        for (QByteArray *b : m_plain)
            wipe(*b);
    }

private:
    std::vector<std::optional<QByteArray> *> m_optional;
    std::vector<QByteArray *> m_plain;
};

} // namespace

SigningKey::~SigningKey()
{
    wipe(m_seed);
}

std::optional<SigningKey> SigningKey::generate(const QString &comment)
{
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key)
        return std::nullopt;
    SigningKey k;
    k.m_seed.resize(32);
    k.m_public.resize(32);
    size_t n = 32, m = 32;
    if (EVP_PKEY_get_raw_private_key(key.get(), reinterpret_cast<unsigned char *>(k.m_seed.data()),
                                     &n) != 1 ||
        EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(k.m_public.data()),
                                    &m) != 1 ||
        n != 32 || m != 32)
        return std::nullopt;
    k.m_comment = comment;
    return k;
}

std::optional<SigningKey> SigningKey::fromOpenSsh(const QByteArray &text, QString *why)
{
    std::optional<QByteArray> blob = SshWire::unarmour(Label, text);
    Wiping wiping;
    wiping << blob;
    if (!blob || !blob->startsWith(Magic)) {
        *why = QStringLiteral("it is not an OpenSSH private key");
        return std::nullopt;
    }
    SshWire::Reader r(QByteArrayView(*blob).sliced(Magic.size()));
    const auto cipher = r.string(), kdf = r.string(), kdfOptions = r.string();
    const auto count = r.u32();
    const auto publicBlob = r.string();
    auto secret = r.string();
    wiping << secret;
    if (!r.ok() || !r.atEnd()) {
        *why = QStringLiteral("the key file is damaged");
        return std::nullopt;
    }
    if (*cipher != "none" || *kdf != "none") {
        *why = QStringLiteral("the key is protected by a passphrase (a key without one is "
                              "needed: ssh-keygen -p -N \"\" -f FILE removes it)");
        return std::nullopt;
    }
    if (*count != 1) {
        *why = QStringLiteral("the file holds %1 keys, and one is needed").arg(*count);
        return std::nullopt;
    }
    SshWire::Reader s(*secret);
    const auto check1 = s.u32(), check2 = s.u32();
    const auto type = s.string();
    if (!s.ok() || *check1 != *check2) {
        *why = QStringLiteral("the key file is damaged");
        return std::nullopt;
    }
    if (*type != KeyType) {
        *why = QStringLiteral("it is a %1 key, and an Ed25519 key (ssh-keygen -t ed25519) is "
                              "needed")
                   .arg(QString::fromLatin1(type->left(40)));
        return std::nullopt;
    }
    auto pub = s.string(), priv = s.string(), comment = s.string();
    wiping << priv;
    if (!s.ok() || pub->size() != 32 || priv->size() != 64 || priv->mid(32) != *pub) {
        *why = QStringLiteral("the key file is damaged");
        return std::nullopt;
    }
    // The padding is 1, 2, 3, ...
    for (char expected = 1; !s.atEnd(); ++expected)
        if (s.raw(1).value_or(QByteArray(1, 0)).at(0) != expected) {
            *why = QStringLiteral("the key file is damaged");
            return std::nullopt;
        }
    SigningKey k;
    k.m_seed = priv->left(32);
    k.m_public = *pub;
    k.m_comment = QString::fromUtf8(*comment);
    // The pair must belong together: the public half made again from the private one.
    Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(k.m_seed), 32));
    QByteArray derived(32, 0);
    size_t n = 32;
    if (!key ||
        EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(derived.data()),
                                    &n) != 1 ||
        derived != k.m_public || k.publicBlob() != *publicBlob) {
        *why = QStringLiteral("the key file is damaged (its halves do not belong together)");
        return std::nullopt;
    }
    return k;
}

QString SigningKey::defaultPath()
{
    return FileIo::stateFolder() + QStringLiteral("/signing-key");
}

QString SigningKey::defaultPrincipal()
{
    return QStringLiteral("tx9-logger@") + QSysInfo::machineHostName();
}

std::optional<SigningKey> SigningKey::readFile(const QString &path, bool chosen, QString *why,
                                               QString *notice)
{
    // Never blocks on a pipe, never follows a link planted in the program's own folder.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (chosen ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        *why = QStringLiteral("%1 cannot be read: %2")
                   .arg(path, errno == ELOOP ? QStringLiteral("it is a link, and a key file is "
                                                              "needed")
                                             : FileIo::reason(errno));
        return std::nullopt;
    }
    struct stat st
    {
    };
    QByteArray text;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        QFile f;
        if (f.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            text = f.read(64 * 1024);
    }
    ::close(fd);
    Wiping wiping;
    wiping << text;
    if (!regular) {
        *why = QStringLiteral("%1 cannot be read: it is not a file").arg(path);
        return std::nullopt;
    }
    if ((st.st_mode & 077) != 0) {
        const QString open =
            QStringLiteral("permissions %1 for %2 are too open")
                .arg(QString::number(st.st_mode & 0777, 8).rightJustified(4, '0'), path);
        if (!chosen) {
            *why = open + QStringLiteral(": a private key must be readable by its owner only "
                                         "(chmod 600)");
            return std::nullopt;
        }
        if (notice)
            *notice = open + QStringLiteral("; it signs all the same, as --signing-key names it "
                                            "(chmod 600 keeps others from reading it)");
    }
    QString wrong;
    std::optional<SigningKey> k = fromOpenSsh(text, &wrong);
    if (!k)
        *why = QStringLiteral("%1: %2").arg(path, wrong);
    return k;
}

std::optional<SigningKey> SigningKey::readExisting(const QString &path, QString *why)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return readFile(path, false, why, nullptr);
}

std::optional<SigningKey> SigningKey::readChosen(const QString &path, QString *why, QString *notice)
{
    return readFile(path, true, why, notice);
}

std::optional<SigningKey> SigningKey::loadOrCreate(const QString &path, const QString &comment,
                                                   QString *why)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0)
        return readFile(path, false, why, nullptr);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("the folder %1 cannot be made").arg(folder);
        return std::nullopt;
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    std::optional<SigningKey> k = generate(comment);
    if (!k) {
        *why = QStringLiteral("a key cannot be made");
        return std::nullopt;
    }
    QString reason;
    QByteArray text = k->openSshText();
    if (text.isEmpty()) {
        *why = QStringLiteral("a key cannot be made (no random numbers)");
        return std::nullopt;
    }
    const bool written = SafeFile::writeWhole(path, text, &reason, 0600);
    wipe(text);
    if (!written) {
        *why = QStringLiteral("%1 cannot be written: %2").arg(path, reason);
        return std::nullopt;
    }
    return k;
}

QByteArray SigningKey::publicBlob() const
{
    QByteArray out;
    SshWire::putString(out, KeyType);
    SshWire::putString(out, m_public);
    return out;
}

QByteArray SigningKey::publicLine() const
{
    QByteArray line = KeyType + ' ' + publicBlob().toBase64();
    if (!m_comment.isEmpty())
        line += ' ' + m_comment.toUtf8();
    return line;
}

QByteArray SigningKey::openSshText() const
{
    quint32 check = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char *>(&check), sizeof check) != 1)
        return {};
    QByteArray secret;
    SshWire::putU32(secret, check);
    SshWire::putU32(secret, check);
    SshWire::putString(secret, KeyType);
    SshWire::putString(secret, m_public);
    SshWire::putString(secret, m_seed + m_public);
    SshWire::putString(secret, m_comment.toUtf8());
    for (char pad = 1; secret.size() % 8 != 0; ++pad)
        secret += pad;
    QByteArray blob = Magic;
    SshWire::putString(blob, "none");
    SshWire::putString(blob, "none");
    SshWire::putString(blob, "");
    SshWire::putU32(blob, 1);
    SshWire::putString(blob, publicBlob());
    SshWire::putString(blob, secret);
    Wiping wiping;
    wiping << secret << blob;
    return SshWire::armour(Label, blob);
}

QByteArray SigningKey::sign(QByteArrayView data) const
{
    Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(m_seed), 32));
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
    QByteArray sig(64, 0);
    size_t n = 64;
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(sig.data()), &n,
                       reinterpret_cast<const unsigned char *>(data.data()),
                       size_t(data.size())) != 1)
        return {};
    return sig;
}

bool SigningKey::verify(const QByteArray &publicKey, QByteArrayView data, const QByteArray &sig)
{
    if (publicKey.size() != 32 || sig.size() != 64)
        return false;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey), 32));
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
    return key && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), bytes(sig), 64,
                            reinterpret_cast<const unsigned char *>(data.data()),
                            size_t(data.size())) == 1;
}

std::optional<QByteArray> SigningKey::ed25519Of(const QByteArray &publicBlob)
{
    SshWire::Reader r(publicBlob);
    const auto type = r.string(64), key = r.string(64);
    if (!r.ok() || !r.atEnd() || *type != KeyType || key->size() != 32)
        return std::nullopt;
    return *key;
}

QString SigningKey::fingerprint(const QByteArray &publicBlob)
{
    QByteArray b64 = Digest::of(Digest::Kind::Sha256, publicBlob).toBase64();
    while (b64.endsWith('='))
        b64.chop(1);
    return QStringLiteral("SHA256:") + QString::fromLatin1(b64);
}
