// The SSHSIG reader on arbitrary signature files: what it takes has the parts of an Ed25519
// signature, and checking it against a hash never fails in any other way than no.

#include "FuzzChecks.h"
#include "proof/SshSig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    QString why;
    const std::optional<SshSig::Parsed> sig = SshSig::parse(text, &why);
    fuzzRequire(sig.has_value() == why.isEmpty(), "a signature refused without a reason");
    if (sig) {
        fuzzRequire(sig->Signature.size() == 64, "an Ed25519 signature that is not 64 bytes");
        fuzzRequire(sig->HashAlgorithm == "sha512" || sig->HashAlgorithm == "sha256",
                    "an unknown hash taken");
        (void)SshSig::holds(*sig, QByteArray(64, '\0'));
    }
    return 0;
}
