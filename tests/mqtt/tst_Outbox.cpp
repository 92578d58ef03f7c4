// The outbox on disk: random appends, takes and acknowledgements out of order, crashes taken
// as the files stand at any moment, torn and damaged tails, failing writes. Whatever happens,
// every message that was not acknowledged comes out again, in order, byte for byte.

#include "mqtt/Outbox.h"
#include "output/SafeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <map>
#include <set>
#include <tuple>

class tst_Outbox : public QObject
{
    Q_OBJECT

    static Outbox::Message reading(quint64 seq, QRandomGenerator &random)
    {
        Outbox::Message m;
        m.seq = seq;
        m.topic = seq % 7 == 0 ? "alarm" : "reading";
        m.retain = seq % 7 == 0;
        m.payload = QByteArray(int(random.bounded(1, 300)), char('a' + seq % 26));
        m.payload.prepend(QByteArray::number(seq) + ':');
        if (seq % 3 == 0)
            m.extra = "{\"seq\":" + QByteArray::number(seq) + '}';
        return m;
    }

    static void copyFolder(const QString &from, const QString &to)
    {
        QDir().mkpath(to);
        for (const QString &name : QDir(from).entryList(QDir::Files))
            QVERIFY(QFile::copy(from + '/' + name, to + '/' + name));
    }

    // Everything the outbox at folder offers, taken to the end.
    static QList<Outbox::Message> drain(Outbox &box)
    {
        QList<Outbox::Message> out;
        Outbox::Message m;
        while (box.take(m))
            out << m;
        return out;
    }

private slots:
    void crashesAtAnyMomentLoseNothing()
    {
        QRandomGenerator random(20261209);
        for (int round = 0; round < 12; ++round) {
            QTemporaryDir dir;
            const QString folder = dir.path() + "/box";
            std::map<quint64, Outbox::Message> appended; // index -> message
            quint64 firstUnacked = 1, nextIndex = 1;
            QString crashCopy;
            quint64 firstUnackedAtCrash = 0, lastAtCrash = 0;
            {
                Outbox box;
                QVERIFY(box.open(folder, 2048 + random.bounded(8192)));
                QList<quint64> inFlight;
                std::set<quint64> acked;
                const int steps = 200 + int(random.bounded(400));
                const int crashAt = int(random.bounded(steps));
                for (int step = 0; step < steps; ++step) {
                    const int what = int(random.bounded(10));
                    if (what < 5) {
                        Outbox::Message m = reading(box.nextSeq(), random);
                        box.append(m);
                        m.index = nextIndex++;
                        appended[m.index] = m;
                    } else if (what < 8) {
                        Outbox::Message m;
                        if (box.take(m)) {
                            QCOMPARE(m.payload, appended.at(m.index).payload);
                            inFlight << m.index;
                        }
                    } else if (what < 9 && !inFlight.isEmpty()) {
                        // Acknowledgements come in any order.
                        const quint64 index = inFlight.takeAt(random.bounded(inFlight.size()));
                        box.acknowledge(index);
                        acked.insert(index);
                        while (acked.count(firstUnacked))
                            ++firstUnacked;
                    } else if (random.bounded(4) == 0) {
                        box.rewind(); // a new connection
                        inFlight.clear();
                        // Taken again from the first unacknowledged one.
                        for (auto it = acked.begin(); it != acked.end();)
                            it = *it >= firstUnacked ? acked.erase(it) : std::next(it);
                    }
                    if (random.bounded(50) == 0)
                        QTest::qWait(220); // the acknowledged index is written now and then
                    if (step == crashAt) {
                        // The files as a SIGKILL would leave them.
                        crashCopy = dir.path() + "/crash";
                        copyFolder(folder, crashCopy);
                        firstUnackedAtCrash = firstUnacked;
                        lastAtCrash = appended.empty() ? 0 : appended.rbegin()->first;
                    }
                }
                QCOMPARE(box.pending(),
                         appended.empty() ? 0 : appended.rbegin()->first - (firstUnacked - 1));
            }
            // A clean close and a crash: both give every unacknowledged message, in order.
            for (const auto &[path, fromAtMost, last] :
                 {std::tuple{folder, firstUnacked, appended.empty() ? 0 : appended.rbegin()->first},
                  std::tuple{crashCopy, firstUnackedAtCrash, lastAtCrash}}) {
                Outbox box;
                QVERIFY(box.open(path));
                const QList<Outbox::Message> out = drain(box);
                if (last < fromAtMost) {
                    QVERIFY(out.isEmpty());
                    continue;
                }
                QVERIFY2(!out.isEmpty(), qPrintable(path));
                QVERIFY(out.first().index <= fromAtMost);
                QCOMPARE(out.last().index, last);
                for (qsizetype i = 0; i < out.size(); ++i) {
                    const Outbox::Message &want = appended.at(out[i].index);
                    QCOMPARE(out[i].index, out.first().index + quint64(i));
                    QCOMPARE(out[i].payload, want.payload);
                    QCOMPARE(out[i].extra, want.extra);
                    QCOMPARE(out[i].topic, want.topic);
                    QCOMPARE(out[i].seq, want.seq);
                    QCOMPARE(out[i].retain, want.retain);
                }
                // Reading numbers go on from the highest ever held.
                quint64 maxSeq = 0;
                for (const auto &[index, m] : appended)
                    if (index <= last)
                        maxSeq = std::max(maxSeq, m.seq);
                QVERIFY(box.nextSeq() > maxSeq);
            }
        }
    }

    void deliveredSegmentsGoAndNumbersGoOn()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + "/box";
        QRandomGenerator random(7);
        {
            Outbox box;
            QVERIFY(box.open(folder, 4096));
            for (int i = 0; i < 500; ++i)
                box.append(reading(box.nextSeq(), random));
            QVERIFY(QDir(folder).entryList({"*.seg"}).size() > 10);
            Outbox::Message m;
            while (box.take(m))
                box.acknowledge(m.index);
            QCOMPARE(box.pending(), quint64(0));
        }
        QVERIFY(QDir(folder).entryList({"*.seg"}).size() <= 2);
        Outbox box;
        QVERIFY(box.open(folder, 4096));
        QCOMPARE(box.pending(), quint64(0));
        QVERIFY(!box.hasUnsent());
        QCOMPARE(box.nextSeq(), quint64(501));
        // A second owner of the same id is refused.
        Outbox other;
        QVERIFY(!other.open(folder));
        QVERIFY(other.errorString().contains("same id"));
    }

    // A power cut that took the last messages written but not their acknowledgement (written
    // later, and not synced either): nothing is counted twice, no reading number comes again.
    void powerCutAfterTheAcknowledgement()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + "/box";
        QRandomGenerator random(5);
        qint64 sizeAfter10 = 0;
        QString seg;
        {
            Outbox box;
            QVERIFY(box.open(folder));
            for (int i = 0; i < 10; ++i)
                box.append(reading(box.nextSeq(), random));
            seg = folder + "/" + QDir(folder).entryList({"*.seg"}).constLast();
            sizeAfter10 = QFileInfo(seg).size();
            for (int i = 0; i < 5; ++i)
                box.append(reading(box.nextSeq(), random));
            Outbox::Message m;
            while (box.take(m))
                box.acknowledge(m.index);
        }
        QVERIFY(QFile::resize(seg, sizeAfter10)); // the last five never reached the disk
        Outbox box;
        QVERIFY(box.open(folder));
        QCOMPARE(box.pending(), quint64(0));
        QVERIFY(!box.hasUnsent());
        QCOMPARE(box.nextSeq(), quint64(16));
        box.append(reading(box.nextSeq(), random));
        const QList<Outbox::Message> out = drain(box);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out[0].seq, quint64(16));
    }

    void tornAndDamagedTailsAreCutAndKept()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + "/box";
        QRandomGenerator random(11);
        {
            Outbox box;
            QVERIFY(box.open(folder));
            for (int i = 0; i < 20; ++i)
                box.append(reading(box.nextSeq(), random));
        }
        const QString seg = folder + "/" + QDir(folder).entryList({"*.seg"}).constLast();
        QFile f(seg);
        QVERIFY(f.open(QIODevice::Append));
        const QByteArray junk = QByteArray::fromHex("4000000011223344") + QByteArray(30, 'x');
        f.write(junk); // a message cut off as it was written
        f.close();
        {
            Outbox box;
            QVERIFY(box.open(folder));
            const QStringList warnings = box.takeWarnings();
            QCOMPARE(warnings.size(), 1);
            QVERIFY(warnings[0].contains("damaged-1.bin"));
            QCOMPARE(drain(box).size(), 20);
            box.append(reading(box.nextSeq(), random)); // goes on after the last whole one
        }
        QFile kept(folder + "/damaged-1.bin");
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), junk);
        Outbox box;
        QVERIFY(box.open(folder));
        QVERIFY(box.takeWarnings().isEmpty());
        const QList<Outbox::Message> out = drain(box);
        QCOMPARE(out.size(), 21);
        QCOMPARE(out.last().seq, quint64(21));
    }

    void failedWritesWaitAndGoOutInOrder()
    {
        QTemporaryDir dir;
        QRandomGenerator random(3);
        Outbox box;
        QVERIFY(box.open(dir.path() + "/box"));
        int failures = 0, recoveries = 0;
        connect(&box, &Outbox::writeFailed, this, [&](const QString &reason) {
            ++failures;
            QCOMPARE(reason, FileIo::reason(ENOSPC));
        });
        connect(&box, &Outbox::writeRecovered, this, [&] { ++recoveries; });
        box.append(reading(box.nextSeq(), random));
        bool full = true;
        FileFaults::install([&](FileFaults::Step step, const QString &path) {
            return full && step == FileFaults::Step::Write && path.endsWith(".seg") ? ENOSPC : 0;
        });
        for (int i = 0; i < 5; ++i)
            box.append(reading(box.nextSeq(), random));
        QCOMPARE(failures, 1); // said once
        QCOMPARE(box.pending(), quint64(6));
        Outbox::Message m;
        QVERIFY(box.take(m));
        QCOMPARE(m.seq, quint64(1));
        QVERIFY(!box.take(m)); // not in the file: not offered
        full = false;
        QTRY_COMPARE(recoveries, 1); // the next second's write goes through
        FileFaults::install({});
        const QList<Outbox::Message> out = drain(box);
        QCOMPARE(out.size(), 5);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(out[i].seq, quint64(i + 2));
    }
};

QTEST_GUILESS_MAIN(tst_Outbox)
#include "tst_Outbox.moc"
