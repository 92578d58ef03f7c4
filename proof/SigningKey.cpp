#include "proof/SigningKey.h"

#include "output/SafeFile.h"
#include "proof/Digest.h"
#include "proof/SshWire.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <openssl/evp.h>
#include <openssl/rand.h>

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

} // namespace

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
    const std::optional<QByteArray> blob = SshWire::unarmour(Label, text);
    if (!blob || !blob->startsWith(Magic)) {
        *why = QStringLiteral("it is not an OpenSSH private key");
        return std::nullopt;
    }
    SshWire::Reader r(QByteArrayView(*blob).sliced(Magic.size()));
    const auto cipher = r.string(), kdf = r.string(), kdfOptions = r.string();
    const auto count = r.u32();
    const auto publicBlob = r.string();
    const auto secret = r.string();
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
    const auto pub = s.string(), priv = s.string(), comment = s.string();
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

std::optional<SigningKey> SigningKey::loadOrCreate(const QString &path, const QString &comment,
                                                   QString *why)
{
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            *why = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
            return std::nullopt;
        }
        QString wrong;
        std::optional<SigningKey> k = fromOpenSsh(file.read(64 * 1024), &wrong);
        if (!k)
            *why = QStringLiteral("%1: %2").arg(path, wrong);
        return k;
    }
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
    if (!SafeFile::writeWhole(path, k->openSshText(), &reason, 0600)) {
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
    RAND_bytes(reinterpret_cast<unsigned char *>(&check), sizeof check);
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
