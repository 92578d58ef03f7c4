// A fuzz target run without libFuzzer, as the test suite runs it: every file of its corpus,
// then inputs made from them at random (bytes flipped, cut, repeated, spliced) until the time
// is up. The seed is printed; TX9_FUZZ_SEED repeats a run.
//   replay_<target> CORPUS_DIR SECONDS

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int run(const QByteArray &input)
{
    return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()),
                                  size_t(input.size()));
}

QByteArray mutated(QByteArray b, const QList<QByteArray> &corpus, QRandomGenerator &rng)
{
    const int steps = 1 + int(rng.bounded(4));
    for (int i = 0; i < steps; ++i) {
        const qsizetype at = b.isEmpty() ? 0 : qsizetype(rng.bounded(quint32(b.size())));
        switch (rng.bounded(6)) {
        case 0: // a byte flipped
            if (!b.isEmpty())
                b[at] = char(b[at] ^ (1 << rng.bounded(8)));
            break;
        case 1: // a byte set to one that parsers care about
            if (!b.isEmpty())
                b[at] = "\t\n\r\"\\, =-@\0\xff"[rng.bounded(12)];
            break;
        case 2: // cut
            b.truncate(at);
            break;
        case 3: // a piece repeated
            b.insert(at, b.mid(at, qsizetype(rng.bounded(64))));
            break;
        case 4: { // spliced with another input
            const QByteArray &other = corpus[int(rng.bounded(int(corpus.size())))];
            b = b.left(at) + other.mid(other.isEmpty() ? 0 : qsizetype(rng.bounded(
                                                                 quint32(other.size()))));
            break;
        }
        default: // a piece removed
            b.remove(at, qsizetype(rng.bounded(16)));
            break;
        }
    }
    return b.left(1 << 20);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR SECONDS\n", argv[0]);
        return 2;
    }
    QList<QByteArray> corpus{QByteArray()};
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const QString &name : dir.entryList(QDir::Files)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            corpus << f.readAll();
    }
    for (const QByteArray &input : corpus)
        run(input);
    const quint32 seed = qEnvironmentVariableIsSet("TX9_FUZZ_SEED")
                             ? quint32(qEnvironmentVariableIntValue("TX9_FUZZ_SEED"))
                             : QRandomGenerator::global()->generate();
    QRandomGenerator rng(seed);
    QElapsedTimer clock;
    clock.start();
    const qint64 ms = qint64(QByteArray(argv[2]).toDouble() * 1000);
    qint64 runs = 0;
    while (clock.elapsed() < ms) {
        run(mutated(corpus[int(rng.bounded(int(corpus.size())))], corpus, rng));
        ++runs;
    }
    std::printf("%s: %lld corpus inputs, %lld made at random (seed %u)\n", argv[0],
                static_cast<long long>(corpus.size()), static_cast<long long>(runs), seed);
    return 0;
}
