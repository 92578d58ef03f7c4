#pragma once
// An Ed25519 key pair kept in OpenSSH's own private-key format (unencrypted), so that
// ssh-keygen reads the same file: the key files and data files sign with. Its public half is
// given as OpenSSH writes it ("ssh-ed25519 AAAA...") and by its SHA256 fingerprint.

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

struct evp_pkey_st;

class SigningKey
{
public:
    // A new key pair with comment (the principal it is given to: "tx9-logger@host").
    static std::optional<SigningKey> generate(const QString &comment);
    // A key from the text of an OpenSSH private key file; none, and why, for anything else
    // (another kind of key, a key with a passphrase, a damaged file).
    static std::optional<SigningKey> fromOpenSsh(const QByteArray &text, QString *why);
    // The key at path, made (mode 0600, its folder 0700) when there is none yet; none, and
    // why, when it can neither be read nor made. A key file that group or others may read is
    // refused, as ssh refuses it ("permissions 0644 for ... are too open"), and so is a link.
    static std::optional<SigningKey> loadOrCreate(const QString &path, const QString &comment,
                                                  QString *why);
    // The key at path when there is one there (read as loadOrCreate reads it), never made.
    static std::optional<SigningKey> readExisting(const QString &path, QString *why);
    // The key in the file a person named: read as it is, a link followed; a file others may
    // read is taken all the same (the person chose it), and notice says so.
    static std::optional<SigningKey> readChosen(const QString &path, QString *why, QString *notice);
    // Where the program keeps its key: signing-key in its state folder.
    static QString defaultPath();
    // The principal the program's own key is given to: tx9-logger@<host>.
    static QString defaultPrincipal();

    // The private key file's text.
    QByteArray openSshText() const;
    // The public key as SSH puts it on the wire: string "ssh-ed25519", string key.
    QByteArray publicBlob() const;
    // "ssh-ed25519 AAAA... comment".
    QByteArray publicLine() const;
    const QString &comment() const { return m_comment; }
    // The raw Ed25519 signature (64 bytes) of data.
    QByteArray sign(QByteArrayView data) const;

    // Whether sig (64 bytes) is a good Ed25519 signature of data under the raw public key.
    static bool verify(const QByteArray &publicKey, QByteArrayView data, const QByteArray &sig);
    // The raw key of a public blob of type ssh-ed25519; none for any other.
    static std::optional<QByteArray> ed25519Of(const QByteArray &publicBlob);
    // "SHA256:..." as ssh-keygen -l shows it.
    static QString fingerprint(const QByteArray &publicBlob);

    SigningKey(const SigningKey &) = default;
    SigningKey &operator=(const SigningKey &) = default;
    SigningKey(SigningKey &&) = default;
    SigningKey &operator=(SigningKey &&) = default;
    ~SigningKey(); // the private half wiped from memory by its last holder

private:
    SigningKey() = default;
    static std::optional<SigningKey> readFile(const QString &path, bool chosen, QString *why,
                                              QString *notice);
    QByteArray m_seed, m_public; // 32 bytes each
    QString m_comment;
};
