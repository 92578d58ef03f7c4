// The private-key reader on arbitrary key files: a key it takes writes itself out as a file
// that reads back to the same key.

#include "FuzzChecks.h"
#include "proof/SigningKey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    QString why;
    const std::optional<SigningKey> key = SigningKey::fromOpenSsh(text, &why);
    fuzzRequire(key.has_value() == why.isEmpty(), "a key refused without a reason");
    if (key) {
        const std::optional<SigningKey> back = SigningKey::fromOpenSsh(key->openSshText(), &why);
        fuzzRequire(back && back->publicBlob() == key->publicBlob(),
                    "a key read did not read back from its own file");
        fuzzRequire(SigningKey::ed25519Of(key->publicBlob()).has_value(),
                    "a key taken that is not Ed25519");
    }
    return 0;
}
