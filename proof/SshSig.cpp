#include "proof/SshSig.h"

#include "proof/SigningKey.h"
#include "proof/SshWire.h"

namespace SshSig {

namespace {

const QByteArray Magic = "SSHSIG";
const QByteArray Label = "SSH SIGNATURE";

// What the signature is made over.
QByteArray signedData(const QByteArray &ns, const QByteArray &algorithm, const QByteArray &hash)
{
    QByteArray out = Magic;
    SshWire::putString(out, ns);
    SshWire::putString(out, "");
    SshWire::putString(out, algorithm);
    SshWire::putString(out, hash);
    return out;
}

} // namespace

QByteArray sign(const SigningKey &key, const QByteArray &sha512, const QByteArray &ns)
{
    const QByteArray raw = key.sign(signedData(ns, "sha512", sha512));
    if (raw.isEmpty())
        return {};
    QByteArray signature;
    SshWire::putString(signature, "ssh-ed25519");
    SshWire::putString(signature, raw);
    QByteArray blob = Magic;
    SshWire::putU32(blob, 1);
    SshWire::putString(blob, key.publicBlob());
    SshWire::putString(blob, ns);
    SshWire::putString(blob, "");
    SshWire::putString(blob, "sha512");
    SshWire::putString(blob, signature);
    return SshWire::armour(Label, blob);
}

std::optional<Parsed> parse(const QByteArray &armoured, QString *why)
{
    if (armoured.size() > 64 * 1024) {
        *why = QStringLiteral("the signature file is far too large to be a signature");
        return std::nullopt;
    }
    const std::optional<QByteArray> blob = SshWire::unarmour(Label, armoured);
    if (!blob) {
        *why = QStringLiteral("the signature file is not an SSH signature (damaged or cut short)");
        return std::nullopt;
    }
    SshWire::Reader r(*blob);
    const auto magic = r.raw(6);
    const auto version = r.u32();
    Parsed p;
    const auto key = r.string(4096), ns = r.string(4096), reserved = r.string(4096),
               algorithm = r.string(64), signature = r.string(4096);
    if (!r.ok() || *magic != Magic || !r.atEnd()) {
        *why = QStringLiteral("the signature file is damaged");
        return std::nullopt;
    }
    if (*version != 1) {
        *why =
            QStringLiteral("the signature is of version %1, and version 1 is read").arg(*version);
        return std::nullopt;
    }
    SshWire::Reader s(*signature);
    const auto type = s.string(64), raw = s.string(4096);
    if (s.ok() && !s.atEnd()) {
        *why = QStringLiteral("the signature file is damaged (bytes follow its signature)");
        return std::nullopt;
    }
    if (!SigningKey::ed25519Of(*key) || !s.ok() || *type != "ssh-ed25519" || raw->size() != 64) {
        *why = QStringLiteral("the signature is not an Ed25519 one (%1)")
                   .arg(QString::fromLatin1(s.ok() ? type->left(40) : QByteArray("damaged")));
        return std::nullopt;
    }
    if (*algorithm != "sha512" && *algorithm != "sha256") {
        *why = QStringLiteral("the signature names an unknown hash (%1)")
                   .arg(QString::fromLatin1(algorithm->left(40).toPercentEncoding()));
        return std::nullopt;
    }
    p.PublicBlob = *key;
    p.Ns = *ns;
    p.HashAlgorithm = *algorithm;
    p.Signature = *raw;
    return p;
}

bool holds(const Parsed &sig, const QByteArray &hash)
{
    const std::optional<QByteArray> key = SigningKey::ed25519Of(sig.PublicBlob);
    return key &&
           SigningKey::verify(*key, signedData(sig.Ns, sig.HashAlgorithm, hash), sig.Signature);
}

} // namespace SshSig
