#pragma once
// The key this program signs its files with: a key of the user's own (--signing-key), else
// the program's own, made on first use in its state folder. Loaded once per process.

#include <QByteArray>
#include <QString>
#include <optional>

class SigningKey;

namespace Signer {

// A key file of the user's own, in place of the program's (before the first key()).
void useKeyFile(const QString &path);
QString keyFile();
// The key, loaded or made on first use; nullptr and why when there is none to sign with (the
// files are then written unsigned, and the caller says so).
const SigningKey *key(QString *why = nullptr);
// The key this process signs with when it is loaded already (never loads or makes one).
std::optional<QByteArray> loadedPublicBlob();
// What a person should know of the key they chose, once it is loaded (a file others may
// read); empty when nothing.
QString notice();

} // namespace Signer
