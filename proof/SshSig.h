#pragma once
// Detached signatures in OpenSSH's SSHSIG form, as ssh-keygen -Y sign writes them and
// ssh-keygen -Y verify checks them: the signer's public key, a namespace that says what the
// signature is for, and an Ed25519 signature over the namespace and the message's hash.

#include <QByteArray>
#include <QString>
#include <optional>

class SigningKey;

namespace SshSig {

// What the program's signatures are for.
inline const QByteArray Namespace = "tx9-logger";

// The armoured signature of a message whose SHA-512 is hash.
QByteArray sign(const SigningKey &key, const QByteArray &sha512, const QByteArray &ns = Namespace);

struct Parsed
{
    QByteArray PublicBlob, Ns, HashAlgorithm; // "sha256" or "sha512"
    QByteArray Signature;                     // Ed25519's 64 bytes
};
// A signature read from its armour; none, and why in words, for anything that is not a
// version 1 Ed25519 SSHSIG signature.
std::optional<Parsed> parse(const QByteArray &armoured, QString *why);
// Whether the signature holds for a message whose hash (of its HashAlgorithm) is hash.
bool holds(const Parsed &sig, const QByteArray &hash);

} // namespace SshSig
