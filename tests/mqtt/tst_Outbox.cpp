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

    struct Record
    {
        qint64 at, end;
        quint64 index;
    };
    // The whole messages of a segment file, walked as written.
    static QList<Record> recordsIn(const QString &path)
    {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        const QByteArray bytes = f.readAll();
        const auto h = OutboxFormat::readHeader(bytes.constData(), bytes.size());
        QList<Record> out;
        OutboxMessage m;
        qint64 next = 0;
        for (qint64 at = h ? h->bytes : 0;
             OutboxFormat::readRecord(bytes.constData(), bytes.size(), at, m, next) ==
             OutboxFormat::Record::Good;
             at = next)
            out << Record{at, next, m.index};
        return out;
    }
    static void flipByte(const QString &path, qint64 at)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.seek(at);
        char c = 0;
        f.getChar(&c);
        f.seek(at);
        f.putChar(char(c ^ 0x5a));
    }
    static QStringList segments(const QString &folder)
    {
        QStringList out;
        for (const QString &name : QDir(folder).entryList({"*.seg"}, QDir::Files, QDir::Name))
            out << folder + '/' + name;
        return out;
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
    // The shortest messages the layout allows (a topic of a few bytes, no payload) are read
    // back, from the bytes and from an outbox opened again.
    void shortestMessagesComeBack()
    {
        QTemporaryDir dir;
        const QList<QByteArray> topics{"", "a", "abc", "abcd"};
        for (const QByteArray &topic : topics) {
            OutboxMessage m;
            m.index = 7;
            m.topic = topic;
            const QByteArray bytes = OutboxFormat::encode(m);
            QCOMPARE(bytes.size(), 8 + OutboxFormat::MinBody + topic.size());
            OutboxMessage back;
            qint64 next = 0;
            QCOMPARE(int(OutboxFormat::readRecord(bytes.constData(), bytes.size(), 0, back, next)),
                     int(OutboxFormat::Record::Good));
            QCOMPARE(back.topic, topic);
            QCOMPARE(next, bytes.size());
        }
        {
            Outbox box;
            QVERIFY(box.open(dir.path()));
            for (const QByteArray &topic : topics) {
                Outbox::Message m;
                m.topic = topic;
                box.append(m);
            }
            QVERIFY(box.flush());
        }
        Outbox box;
        QVERIFY(box.open(dir.path()));
        QVERIFY(box.takeWarnings().isEmpty());
        for (const QByteArray &topic : topics) {
            Outbox::Message m;
            QVERIFY(box.take(m));
            QCOMPARE(m.topic, topic);
        }
        QVERIFY(box.countersInOrder());
    }

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
                QVERIFY(box.countersInOrder());
                QList<quint64> inFlight;
                std::set<quint64> acked;
                const int steps = 200 + int(random.bounded(400));
                const int crashAt = int(random.bounded(steps));
                for (int step = 0; step < steps; ++step) {
                    const int what = int(random.bounded(10));
                    if (what < 5) {
                        Outbox::Message m = reading(box.nextSeq(), random);
                        box.append(m);
                        QVERIFY(box.countersInOrder());
                        m.index = nextIndex++;
                        appended[m.index] = m;
                    } else if (what < 8) {
                        Outbox::Message m;
                        if (box.take(m)) {
                            QVERIFY(box.countersInOrder());
                            QCOMPARE(m.payload, appended.at(m.index).payload);
                            inFlight << m.index;
                        }
                    } else if (what < 9 && !inFlight.isEmpty()) {
                        // Acknowledgements come in any order.
                        const quint64 index = inFlight.takeAt(random.bounded(inFlight.size()));
                        box.acknowledge(index);
                        QVERIFY(box.countersInOrder());
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
            // Half the crashes also damage one message on disk: that one alone is lost.
            quint64 damaged = 0;
            if (random.bounded(2) == 0) {
                QList<std::pair<QString, Record>> candidates;
                for (const QString &seg : segments(crashCopy))
                    for (const Record &r : recordsIn(seg))
                        if (r.index >= firstUnackedAtCrash)
                            candidates << std::pair{seg, r};
                if (!candidates.isEmpty()) {
                    const auto &[seg, r] = candidates[random.bounded(candidates.size())];
                    flipByte(seg, r.at + 8 + random.bounded(r.end - r.at - 8));
                    damaged = r.index;
                }
            }
            // A clean close and a crash: both give every unacknowledged message, in order.
            for (const auto &[path, fromAtMost, last] :
                 {std::tuple{folder, firstUnacked, appended.empty() ? 0 : appended.rbegin()->first},
                  std::tuple{crashCopy, firstUnackedAtCrash, lastAtCrash}}) {
                Outbox box;
                QVERIFY(box.open(path));
                QVERIFY(box.countersInOrder());
                const QList<Outbox::Message> out = drain(box);
                if (last < fromAtMost) {
                    QVERIFY(out.isEmpty());
                    continue;
                }
                const bool hit = path == crashCopy && damaged > 0;
                if (hit && last == fromAtMost && damaged == last) {
                    QVERIFY(out.isEmpty());
                    continue;
                }
                QVERIFY2(!out.isEmpty(), qPrintable(path));
                QVERIFY(out.first().index <=
                        (hit && damaged == fromAtMost ? fromAtMost + 1 : fromAtMost));
                QCOMPARE(out.last().index, hit && damaged == last ? last - 1 : last);
                quint64 expect = out.first().index;
                for (qsizetype i = 0; i < out.size(); ++i, ++expect) {
                    const Outbox::Message &want = appended.at(out[i].index);
                    if (hit && expect == damaged)
                        ++expect; // the damaged one is passed over, and only it
                    QCOMPARE(out[i].index, expect);
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

    // Each attack on the files, then a logger that opens them and delivers everything: every
    // message still whole on disk goes out, in order and byte for byte; the loss is said with
    // its count; no reading number is given twice.
    void damageCostsOnlyTheDamagedBytes_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<int>("lost");     // messages that cannot come back
        QTest::addColumn<QString>("said"); // in what is said
        QTest::newRow("acked far ahead, old kind") << "ackFarAhead" << 0 << "cannot be trusted";
        QTest::newRow("acked huge, old kind") << "ackHuge" << 0 << "cannot be trusted";
        QTest::newRow("acked names a later segment") << "ackLater" << 0 << "cannot be trusted";
        QTest::newRow("acked names a message not there")
            << "ackNoMessage" << 0 << "cannot be trusted";
        QTest::newRow("acked junk") << "ackJunk" << 0 << "cannot be trusted";
        QTest::newRow("byte flipped in a finished segment") << "flipFinished" << 1 << "1 message";
        QTest::newRow("byte flipped in the active segment") << "flipActive" << 1 << "1 message";
        QTest::newRow("byte flipped in a header") << "flipHeader" << 0 << "header";
        QTest::newRow("finished segment cut short") << "cutFinished" << -1 << "messages";
        QTest::newRow("stray copy of a segment") << "strayCopy" << 0 << "stray-1.bin";
        QTest::newRow("folder deleted while running") << "deleteFolder" << 0 << "made again";
    }
    void damageCostsOnlyTheDamagedBytes()
    {
        QFETCH(QString, attack);
        QFETCH(int, lost);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString folder = dir.path() + "/box";
        QRandomGenerator random(29);
        std::map<quint64, Outbox::Message> appended;
        quint64 acked = 0;
        QStringList told;
        auto listen = [&](Outbox &box) {
            connect(&box, &Outbox::trouble, this, [&](const QString &t) { told << t; });
        };
        {
            Outbox box;
            listen(box);
            QVERIFY(box.open(folder, 20000));
            QVERIFY(box.countersInOrder());
            for (quint64 i = 1; i <= 600; ++i) {
                Outbox::Message m = reading(box.nextSeq(), random);
                box.append(m);
                QVERIFY(box.countersInOrder());
                m.index = i;
                appended[i] = m;
                if (i == 300 && attack == "deleteFolder") {
                    // Gone while running: made again from the open segments, numbers go on.
                    QVERIFY(QDir(folder).removeRecursively());
                    QVERIFY(box.flush());
                    QVERIFY(QFile::exists(folder + "/lock"));
                }
            }
            Outbox::Message m;
            for (int i = 0; i < 40 && box.take(m); ++i)
                box.acknowledge(acked = m.index);
            QVERIFY(box.countersInOrder());
        }
        const QStringList segs = segments(folder);
        QVERIFY(segs.size() >= 3);
        const QList<Record> first = recordsIn(segs[0]), active = recordsIn(segs.last());
        std::set<quint64> gone; // the messages the attack destroys
        auto writeAck = [&](const QByteArray &text) {
            QFile f(folder + "/acked");
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(text);
        };
        OutboxFormat::Ack valid;
        valid.index = 5;
        valid.segment = 99;
        valid.end = 40;
        if (attack == "ackFarAhead")
            writeAck("0 99 24 0");
        else if (attack == "ackHuge")
            writeAck("999999999 1 24 999999999");
        else if (attack == "ackLater")
            writeAck(OutboxFormat::ackLine(valid));
        else if (attack == "ackNoMessage")
            writeAck(OutboxFormat::ackLine({first[10].index + 7, 1, first[10].end, 0, 0}));
        else if (attack == "ackJunk")
            writeAck(QByteArray(64, '\x07'));
        if (attack.startsWith("ack"))
            acked = 0; // everything on disk goes again
        if (attack == "flipFinished") {
            const Record &r = first[first.size() / 2];
            flipByte(segs[0], r.at + 20);
            gone.insert(r.index);
        } else if (attack == "flipActive") {
            const Record &r = active[active.size() / 2];
            flipByte(segs.last(), r.at + 30);
            gone.insert(r.index);
        } else if (attack == "flipHeader") {
            flipByte(segs[1], 12);
        } else if (attack == "cutFinished") {
            const qint64 cut = first[first.size() * 3 / 5].at + 11;
            QVERIFY(QFile::resize(segs[0], cut));
            for (const Record &r : first)
                if (r.end > cut)
                    gone.insert(r.index);
        } else if (attack == "strayCopy") {
            QVERIFY(QFile::copy(segs[0], folder + "/0000000099.seg"));
        }
        if (lost >= 0)
            QCOMPARE(int(gone.size()), lost);

        Outbox box;
        listen(box);
        QVERIFY(box.open(folder, 20000));
        QVERIFY(box.countersInOrder());
        told += box.takeWarnings();
        // New readings after the damage: numbered above every number the outbox held.
        quint64 maxSeq = appended.rbegin()->second.seq;
        QVERIFY2(box.nextSeq() > maxSeq, qPrintable(QString::number(box.nextSeq())));
        QVERIFY(box.nextSeq() < maxSeq + 100);
        for (int i = 0; i < 5; ++i) {
            Outbox::Message m = reading(box.nextSeq(), random);
            box.append(m);
            QVERIFY(box.countersInOrder());
            m.index = 600 + quint64(i) + 1;
            appended[m.index] = m;
        }
        QList<Outbox::Message> out;
        Outbox::Message m;
        while (box.take(m)) {
            QVERIFY(box.countersInOrder());
            out << m;
            box.acknowledge(m.index);
            QVERIFY(box.countersInOrder());
        }
        told += box.takeWarnings();
        QVERIFY2(told.join('\n').contains(said), qPrintable(told.join('\n')));
        if (!gone.empty()) {
            const QString count =
                gone.size() == 1 ? QString("1 message") : QString("%1 messages").arg(gone.size());
            QVERIFY2(told.join('\n').contains(count), qPrintable(told.join('\n')));
        }
        QList<quint64> want;
        for (const auto &[index, message] : appended)
            if (index > acked && !gone.count(index))
                want << index;
        QList<quint64> got;
        std::set<quint64> seqs;
        for (const Outbox::Message &o : out) {
            got << o.index;
            QCOMPARE(o.payload, appended.at(o.index).payload);
            QCOMPARE(o.seq, appended.at(o.index).seq);
            if (o.seq > 0)
                QVERIFY(seqs.insert(o.seq).second);
        }
        QCOMPARE(got, want);
        QCOMPARE(box.pending(), quint64(0));
    }

    void deliveredSegmentsGoAndNumbersGoOn()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + "/box";
        QRandomGenerator random(7);
        {
            Outbox box;
            QVERIFY(box.open(folder, 4096));
            QVERIFY(box.countersInOrder());
            for (int i = 0; i < 500; ++i)
                box.append(reading(box.nextSeq(), random));
            QVERIFY(box.countersInOrder());
            QVERIFY(QDir(folder).entryList({"*.seg"}).size() > 10);
            Outbox::Message m;
            while (box.take(m))
                box.acknowledge(m.index);
            QVERIFY(box.countersInOrder());
            QCOMPARE(box.pending(), quint64(0));
        }
        QVERIFY(QDir(folder).entryList({"*.seg"}).size() <= 2);
        Outbox box;
        QVERIFY(box.open(folder, 4096));
        QVERIFY(box.countersInOrder());
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
            QVERIFY(box.countersInOrder());
            for (int i = 0; i < 10; ++i)
                box.append(reading(box.nextSeq(), random));
            QVERIFY(box.countersInOrder());
            seg = folder + "/" + QDir(folder).entryList({"*.seg"}).constLast();
            sizeAfter10 = QFileInfo(seg).size();
            for (int i = 0; i < 5; ++i)
                box.append(reading(box.nextSeq(), random));
            QVERIFY(box.countersInOrder());
            Outbox::Message m;
            while (box.take(m))
                box.acknowledge(m.index);
            QVERIFY(box.countersInOrder());
        }
        QVERIFY(QFile::resize(seg, sizeAfter10)); // the last five never reached the disk
        Outbox box;
        QVERIFY(box.open(folder));
        QVERIFY(box.countersInOrder());
        QCOMPARE(box.pending(), quint64(0));
        QVERIFY(!box.hasUnsent());
        QCOMPARE(box.nextSeq(), quint64(16));
        box.append(reading(box.nextSeq(), random));
        QVERIFY(box.countersInOrder());
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
            QVERIFY(box.countersInOrder());
            for (int i = 0; i < 20; ++i)
                box.append(reading(box.nextSeq(), random));
            QVERIFY(box.countersInOrder());
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
            QVERIFY(box.countersInOrder());
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
        QVERIFY(box.countersInOrder());
        QVERIFY(box.takeWarnings().isEmpty());
        const QList<Outbox::Message> out = drain(box);
        QCOMPARE(out.size(), 21);
        QCOMPARE(out.last().seq, quint64(21));
    }

    // Reading numbers never saturate nor repeat: a number near the top of the range, in a
    // checked acknowledgement or in a stored message, is not trusted; a torn last message's
    // number, still readable, is not given to the next reading.
    void readingNumbersNeverSaturateNorRepeat_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<quint64>("next");
        QTest::newRow("acked seq near 2^64") << "acked" << quint64(6);
        QTest::newRow("issued seq past 2^63") << "issued" << quint64(6);
        QTest::newRow("stored message near 2^64") << "message" << quint64(6);
        QTest::newRow("torn last message") << "torn" << quint64(7);
    }
    void readingNumbersNeverSaturateNorRepeat()
    {
        QFETCH(QString, planted);
        QFETCH(quint64, next);
        QTemporaryDir dir;
        const QString folder = dir.path() + "/box";
        QRandomGenerator random(3);
        {
            Outbox box;
            QVERIFY(box.open(folder));
            QVERIFY(box.countersInOrder());
            for (int i = 0; i < 5; ++i)
                box.append(reading(box.nextSeq(), random));
            QVERIFY(box.countersInOrder());
            if (planted == "message") {
                Outbox::Message huge = reading(1, random);
                huge.seq = 18446744073709551610ull;
                box.append(huge);
                QVERIFY(box.countersInOrder());
            }
            Outbox::Message m;
            while (box.take(m))
                box.acknowledge(m.index);
            QVERIFY(box.countersInOrder());
        }
        const QString seg = segments(folder).constLast();
        if (planted == "acked" || planted == "issued") {
            QFile ack(folder + "/acked");
            QVERIFY(ack.open(QIODevice::ReadOnly));
            OutboxFormat::Ack a;
            QCOMPARE(OutboxFormat::parseAck(ack.readAll(), a), OutboxFormat::AckKind::Valid);
            ack.close();
            (planted == "acked" ? a.ackedSeq : a.issuedSeq) =
                planted == "acked" ? 18446744073709551610ull : (quint64(1) << 63);
            QVERIFY(ack.open(QIODevice::WriteOnly));
            ack.write(OutboxFormat::ackLine(a));
        }
        if (planted == "torn") {
            Outbox::Message m = reading(6, random);
            m.index = 6;
            const QByteArray whole = OutboxFormat::encode(m);
            QFile f(seg);
            QVERIFY(f.open(QIODevice::Append));
            f.write(whole.left(whole.size() - 3));
        }
        Outbox box;
        QVERIFY(box.open(folder));
        QVERIFY(box.countersInOrder());
        const QStringList warnings = box.takeWarnings();
        QCOMPARE(box.nextSeq(), next);
        if (planted != "torn")
            QVERIFY2(warnings.join(' ').contains("not trusted"), qPrintable(warnings.join('|')));
        std::set<quint64> seen;
        for (int i = 0; i < 95; ++i) {
            const quint64 seq = box.nextSeq();
            QVERIFY(seen.insert(seq).second);
            QVERIFY(seq < (quint64(1) << 63));
            box.append(reading(seq, random));
            QVERIFY(box.countersInOrder());
        }
        QCOMPARE(*seen.rbegin(), next + 94);
    }

    void failedWritesWaitAndGoOutInOrder()
    {
        QTemporaryDir dir;
        QRandomGenerator random(3);
        Outbox box;
        QVERIFY(box.open(dir.path() + "/box"));
        QVERIFY(box.countersInOrder());
        int failures = 0, recoveries = 0;
        connect(&box, &Outbox::writeFailed, this, [&](const QString &reason) {
            ++failures;
            QCOMPARE(reason, FileIo::reason(ENOSPC));
        });
        connect(&box, &Outbox::writeRecovered, this, [&] { ++recoveries; });
        box.append(reading(box.nextSeq(), random));
        QVERIFY(box.countersInOrder());
        bool full = true;
        FileFaults::install([&](FileFaults::Step step, const QString &path) {
            return full && step == FileFaults::Step::Write && path.endsWith(".seg") ? ENOSPC : 0;
        });
        for (int i = 0; i < 5; ++i)
            box.append(reading(box.nextSeq(), random));
        QVERIFY(box.countersInOrder());
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
