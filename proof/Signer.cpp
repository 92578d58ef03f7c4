#include "proof/Signer.h"

#include "proof/SigningKey.h"

#include <QFile>
#include <QMutex>
#include <optional>

namespace Signer {

namespace {

struct State
{
    QMutex Lock;
    QString Path; // empty: the program's own
    bool Loaded = false;
    std::optional<SigningKey> Key;
    QString Why;
    QString Notice;
};

State &state()
{
    static State s;
    return s;
}

} // namespace

void useKeyFile(const QString &path)
{
    State &s = state();
    QMutexLocker lock(&s.Lock);
    s.Path = path;
    s.Loaded = false;
    s.Key.reset();
    s.Notice.clear();
}

std::optional<QByteArray> loadedPublicBlob()
{
    State &s = state();
    QMutexLocker lock(&s.Lock);
    if (!s.Loaded || !s.Key)
        return std::nullopt;
    return s.Key->publicBlob();
}

QString notice()
{
    State &s = state();
    QMutexLocker lock(&s.Lock);
    return s.Notice;
}

QString keyFile()
{
    State &s = state();
    QMutexLocker lock(&s.Lock);
    return s.Path.isEmpty() ? SigningKey::defaultPath() : s.Path;
}

const SigningKey *key(QString *why)
{
    State &s = state();
    QMutexLocker lock(&s.Lock);
    if (!s.Loaded) {
        s.Loaded = true;
        if (s.Path.isEmpty()) {
            s.Key = SigningKey::loadOrCreate(SigningKey::defaultPath(),
                                             SigningKey::defaultPrincipal(), &s.Why);
        } else {
            // A key of the user's own is read, never made.
            s.Key = SigningKey::readChosen(s.Path, &s.Why, &s.Notice);
        }
    }
    if (!s.Key && why)
        *why = s.Why;
    return s.Key ? &*s.Key : nullptr;
}

} // namespace Signer
