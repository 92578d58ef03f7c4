// The allowed-signers reader on arbitrary files: every line either taken or told, and a check
// of any key at any time gives principals or a reason.

#include "FuzzChecks.h"
#include "proof/AllowedSigners.h"

#include <QDateTime>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    AllowedSigners s;
    s.readText(text, QStringLiteral("fuzz"));
    const QDateTime at = QDateTime::fromSecsSinceEpoch(1796900000);
    // Each key blob that appears in the text as base64 is checked.
    for (const QByteArray &word : text.simplified().split(' ')) {
        const auto blob =
            QByteArray::fromBase64Encoding(word, QByteArray::AbortOnBase64DecodingErrors);
        if (!blob)
            continue;
        const AllowedSigners::Verdict v = s.check(*blob, "tx9-logger", at);
        fuzzRequire(v.Principals.isEmpty() != v.Why.isEmpty() || (!v.Listed && v.Why.isEmpty()),
                    "a key refused without a reason, or allowed with one");
    }
    (void)AllowedSigners::matchList(QString::fromUtf8(text.left(64)),
                                    QString::fromUtf8(text.mid(64, 64)));
    (void)AllowedSigners::parseTime(text.left(20));
    return 0;
}
