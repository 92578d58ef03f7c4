#include "proof/ProofCommand.h"

#include "output/ErrWriter.h"
#include "proof/Seal.h"
#include "proof/Signer.h"
#include "proof/SigningKey.h"
#include "proof/Verify.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstring>
#include <unistd.h>

namespace ProofCommand {

namespace {

constexpr int Usage = 2;

void out(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(1, bytes.constData() + at, size_t(bytes.size() - at));
        if (n <= 0)
            return;
        at += n;
    }
}

int usage(const QString &why)
{
    ErrWriter::say(QStringLiteral("tx9-logger: %1 (see --help)").arg(why));
    return Usage;
}

int verify(QCoreApplication &app)
{
    QCommandLineParser parser;
    const QCommandLineOption verify(QStringLiteral("verify"));
    const QCommandLineOption signers(QStringLiteral("allowed-signers"), QString(),
                                     QStringLiteral("FILE"));
    const QCommandLineOption seal(QStringLiteral("seal"), QString(), QStringLiteral("HASH@ROWS"));
    parser.addOptions({verify, signers, seal});
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        return usage(QStringLiteral("--verify needs the files to check"));
    Verify::Options options;
    AllowedSigners allowed;
    if (parser.isSet(signers)) {
        QString why;
        if (!allowed.read(parser.value(signers), &why))
            return usage(why);
        for (const QString &problem : allowed.problems())
            ErrWriter::say(QStringLiteral("tx9-logger: %1 (the line is passed over)").arg(problem));
        options.Signers = &allowed;
    }
    if (parser.isSet(seal)) {
        QByteArray hex;
        if (!Seal::parse(parser.value(seal), &hex, &options.SealRows))
            return usage(QStringLiteral("--seal takes HASH@ROWS (64 hex digits, @, a row count), "
                                        "not \"%1\"")
                             .arg(parser.value(seal).left(100)));
        options.SealHex = hex;
    }
    QList<Verify::Result> results;
    for (const QString &file : files) {
        results << Verify::file(file, options);
        out(QStringLiteral("%1: %2").arg(file, results.back().Sentence));
    }
    return Verify::status(results);
}

int publicKey(QCoreApplication &app)
{
    QCommandLineParser parser;
    const QCommandLineOption pub(QStringLiteral("public-key"));
    const QCommandLineOption keyFile(QStringLiteral("signing-key"), QString(),
                                     QStringLiteral("FILE"));
    parser.addOptions({pub, keyFile});
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("--public-key takes no files"));
    if (parser.isSet(keyFile))
        Signer::useKeyFile(parser.value(keyFile));
    QString why;
    const SigningKey *key = Signer::key(&why);
    if (!key) {
        ErrWriter::say(QStringLiteral("tx9-logger: no key to sign with: %1").arg(why));
        return 1;
    }
    const QString principal = key->comment().isEmpty() || key->comment().contains(QLatin1Char(' '))
                                  ? SigningKey::defaultPrincipal()
                                  : key->comment();
    out(principal + QStringLiteral(" ssh-ed25519 ") +
        QString::fromLatin1(key->publicBlob().toBase64()));
    return 0;
}

bool has(int argc, char **argv, const char *option)
{
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], option))
            return true;
    return false;
}

} // namespace

std::optional<int> run(int argc, char **argv)
{
    const bool verifying = has(argc, argv, "--verify"), showing = has(argc, argv, "--public-key");
    if (!verifying && !showing)
        return std::nullopt;
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("tx9-logger"));
    if (verifying && showing)
        return usage(QStringLiteral("--verify and --public-key are two commands; give one"));
    const int status = verifying ? verify(app) : publicKey(app);
    ErrWriter::standard().flush(2000);
    return status;
}

} // namespace ProofCommand
