#include "usb/CableIds.h"
#include "usb/CableLock.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

// Which cable is which: the ID rules over the cables present, and what --device finds.
class tst_CableIds : public QObject
{
    Q_OBJECT

    using Cables = QList<CableIds::Cable>;

private slots:
    void ids_data()
    {
        QTest::addColumn<Cables>("cables");
        QTest::addColumn<QStringList>("ids");
        const CableIds::Cable a{"/dev/hidraw0", "A1", "1-1.2"}, b{"/dev/hidraw1", "B2", "1-1.3"};
        QTest::newRow("serials") << Cables{a, b} << QStringList{"A1", "B2"};
        QTest::newRow("one alone") << Cables{a} << QStringList{"A1"};
        // Two cables of a batch with one serial: their sockets tell them apart.
        QTest::newRow("repeated serial")
            << Cables{a, {"/dev/hidraw1", "A1", "1-1.3"}, b} << QStringList{"1-1.2", "1-1.3", "B2"};
        QTest::newRow("no serial")
            << Cables{{"/dev/hidraw4", "", "3-2"}, b} << QStringList{"3-2", "B2"};
        // Not on USB (a virtual cable) and without a serial: only its node is left.
        QTest::newRow("node") << Cables{{"/dev/hidraw7", "", ""}, a}
                              << QStringList{"/dev/hidraw7", "A1"};
        QTest::newRow("repeated serial, no port")
            << Cables{{"/dev/hidraw0", "X", ""}, {"/dev/hidraw1", "X", ""}}
            << QStringList{"/dev/hidraw0", "/dev/hidraw1"};
        QTest::newRow("none") << Cables{} << QStringList{};
        // A serial number that reads like another cable's port path keeps it; the other cable
        // takes its next rule (the IDs stay unique, and so do their lock files).
        QTest::newRow("serial like a port path")
            << Cables{{"/dev/hidraw0", "", "1-4"}, {"/dev/hidraw1", "1-4", "2-1"}}
            << QStringList{"/dev/hidraw0", "1-4"};
        QTest::newRow("serial like a node")
            << Cables{{"/dev/hidraw0", "", ""}, {"/dev/hidraw1", "/dev/hidraw0", "2-1"}}
            << QStringList{"/dev/hidraw0", "2-1"};
    }

    // Random sets of cables whose serial numbers and port paths are drawn from a few strings
    // (each other's, and nodes): every ID is unique, is one of its own cable's serial number,
    // port path or node, finds that cable, and is the best rule's whenever no other cable
    // holds that string at all.
    void idsAreUnique()
    {
        QRandomGenerator random(4242);
        const QStringList pool{"", "", "1-4", "1-1.2", "A1", "B2", "/dev/hidraw0", "/dev/hidraw1"};
        for (int round = 0; round < 2000; ++round) {
            Cables cables;
            const int n = 1 + random.bounded(6);
            for (int i = 0; i < n; ++i)
                cables << CableIds::Cable{QStringLiteral("/dev/hidraw%1").arg(i),
                                          pool[random.bounded(pool.size())],
                                          pool[random.bounded(pool.size())]};
            CableIds::assignIds(cables);
            QSet<QString> seen;
            for (int i = 0; i < n; ++i) {
                const CableIds::Cable &c = cables[i];
                QVERIFY2(!seen.contains(c.Id), qPrintable(c.Id));
                seen.insert(c.Id);
                QVERIFY(c.Id == c.Serial || c.Id == c.PortPath || c.Id == c.Node);
                QString all;
                for (const CableIds::Cable &o : cables)
                    all += QStringLiteral("[%1|%2|%3 -> %4] ").arg(o.Node, o.Serial, o.PortPath, o.Id);
                QVERIFY2(CableIds::find(cables, c.Id) == i, qPrintable(all));
                int serials = 0;
                for (const CableIds::Cable &o : cables)
                    serials += !c.Serial.isEmpty() && o.Serial == c.Serial;
                const QString best = serials == 1            ? c.Serial
                                     : !c.PortPath.isEmpty() ? c.PortPath
                                                             : c.Node;
                bool elsewhere = false;
                for (int j = 0; j < n; ++j)
                    if (j != i)
                        elsewhere = elsewhere || cables[j].Serial == best ||
                                    cables[j].PortPath == best || cables[j].Node == best;
                if (!elsewhere)
                    QCOMPARE(c.Id, best);
                QCOMPARE(c.stable(), c.Id != c.Node);
            }
        }
    }
    void ids()
    {
        QFETCH(Cables, cables);
        QFETCH(QStringList, ids);
        QCOMPARE(CableIds::idsOf(cables), ids);
        // Each ID finds its own cable.
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(CableIds::find(cables, ids[i]), i);
    }

    void find_data()
    {
        QTest::addColumn<Cables>("cables");
        QTest::addColumn<QString>("want");
        QTest::addColumn<int>("found");
        const Cables two{{"/dev/hidraw0", "A1", "1-1.2"}, {"/dev/hidraw1", "B2", "1-1.3"}};
        QTest::newRow("node") << two << "/dev/hidraw1" << 1;
        QTest::newRow("serial") << two << "B2" << 1;
        QTest::newRow("port path") << two << "1-1.2" << 0;
        QTest::newRow("absent") << two << "C3" << -1;
        QTest::newRow("empty") << two << "" << -1;
        // A serial two cables share names neither; their port paths do.
        const Cables same{{"/dev/hidraw0", "A1", "1-1.2"}, {"/dev/hidraw1", "A1", "1-1.3"}};
        QTest::newRow("shared serial") << same << "A1" << -1;
        QTest::newRow("shared serial, by port") << same << "1-1.3" << 1;
        // A serial that looks like another cable's port path: the serial comes first.
        const Cables odd{{"/dev/hidraw0", "", "1-4"}, {"/dev/hidraw1", "1-4", "2-1"}};
        QTest::newRow("serial before port") << odd << "1-4" << 1;
    }
    void find()
    {
        QFETCH(Cables, cables);
        QFETCH(QString, want);
        QFETCH(int, found);
        QCOMPARE(CableIds::find(cables, want), found);
    }

    // From what the platform reads: the USB serial, else the HID unique id (a virtual cable's
    // uniq), and the port path.
    void fromProperties()
    {
        const CableIds::Cable usb = CableIds::fromProperties(
            "/dev/hidraw2", {{"serial", " 0042 "}, {"HID_UNIQ", "u"}, {"usb_port", "1-1.2"}});
        QCOMPARE(usb.Serial, QStringLiteral("0042"));
        QCOMPARE(usb.PortPath, QStringLiteral("1-1.2"));
        const CableIds::Cable uhid =
            CableIds::fromProperties("/dev/hidraw3", {{"HID_UNIQ", "tx9-virtual-7"}});
        QCOMPARE(uhid.Serial, QStringLiteral("tx9-virtual-7"));
        QVERIFY(uhid.PortPath.isEmpty());
        QCOMPARE(CableIds::idsOf({uhid}), QStringList{"tx9-virtual-7"});
    }

    // The locks: a second holder is refused and told who holds it (a lock belongs to its open
    // file, so two in one process meet as two processes would); released, it is free again;
    // a node that is no file is used without a lock. IDs with any characters are one file.
    void locks()
    {
        QTemporaryDir dir;
        qputenv("TX9_LOCK_DIR", QFile::encodeName(dir.path()));
        const QString node = dir.filePath("hidraw9");
        QFile f(node);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        auto first = std::make_unique<CableLock>();
        CableLock second;
        QCOMPARE(first->lockNode(node), CableLock::Result::Held);
        QCOMPARE(first->lockNode(node), CableLock::Result::Held); // again: still its own
        QCOMPARE(second.lockNode(node), CableLock::Result::InUse);
        QCOMPARE(second.holder(), qint64(::getpid()));
        QCOMPARE(CableLock::holderOf(node), qint64(::getpid()));
        QCOMPARE(first->lockId("A1/x y"), CableLock::Result::Held);
        QCOMPARE(second.lockId("A1/x y"), CableLock::Result::InUse);
        QCOMPARE(second.lockId("A1"), CableLock::Result::Held); // another cable
        QCOMPARE(CableLock::idLockPath("A1/x y"), dir.path() + "/tx9-logger-cable-A1_2fx_20y.lock");
        first.reset();
        QCOMPARE(CableLock::holderOf(node), qint64(0));
        QCOMPARE(second.lockNode(node), CableLock::Result::Held);
        QCOMPARE(second.lockId("A1/x y"), CableLock::Result::Held);
        QCOMPARE(second.id(), QStringLiteral("A1/x y"));
        CableLock sim;
        QCOMPARE(sim.lockNode("/sim/hidraw-usb-serial"), CableLock::Result::Unlocked);
        QCOMPARE(sim.lockNode(dir.path()), CableLock::Result::Unlocked); // a folder
    }

    // Whether another logger holds a node, asked without opening it: a lock of another process
    // (flock(1) here) is in use with that process named; this object's own lock is held; a node
    // nobody holds, one that is no file and one gone are unlocked; a holder that ends frees it.
    void checkNodeSeesOtherProcesses()
    {
        QTemporaryDir dir;
        const QString node = dir.filePath("hidraw3");
        QFile f(node);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        CableLock lock;
        QCOMPARE(lock.checkNode(node), CableLock::Result::Unlocked);
        QCOMPARE(lock.checkNode("/sim/hidraw-usb-serial"), CableLock::Result::Unlocked);
        QCOMPARE(lock.checkNode(dir.filePath("gone")), CableLock::Result::Unlocked);
        QProcess other;
        other.start("flock", {"--no-fork", "-x", node, "sleep", "30"});
        QVERIFY(other.waitForStarted());
        QTRY_COMPARE(lock.checkNode(node), CableLock::Result::InUse);
        QCOMPARE(lock.holder(), other.processId());
        QCOMPARE(lock.lockNode(node), CableLock::Result::InUse); // and not taken meanwhile
        QCOMPARE(lock.node(), QString());
        other.kill();
        QVERIFY(other.waitForFinished());
        QTRY_COMPARE(lock.checkNode(node), CableLock::Result::Unlocked);
        QCOMPARE(lock.holder(), qint64(0));
        QCOMPARE(lock.lockNode(node), CableLock::Result::Held);
        QCOMPARE(lock.checkNode(node), CableLock::Result::Held);
        // Held here, in use for another object of this process as for another process.
        CableLock second;
        QCOMPARE(second.checkNode(node), CableLock::Result::InUse);
        QCOMPARE(second.holder(), qint64(::getpid()));
    }

    // A lock file that cannot be used is said (Failed, with the file and why), never taken
    // through a symbolic link, never blocks on a FIFO; two loggers racing for a cable known
    // only by its node meet at its name before either sends anything.
    void lockFilesThatCannotBeUsed_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<QString>("why");
        QTest::newRow("folder missing") << "nofolder"
                                        << "No such file";
        QTest::newRow("dangling symlink") << "dangling"
                                          << "symbolic link";
        QTest::newRow("symlink to a file") << "symlink"
                                           << "symbolic link";
        QTest::newRow("fifo") << "fifo"
                              << "not a regular file";
        QTest::newRow("folder") << "folder"
                                << "not a regular file";
    }
    void lockFilesThatCannotBeUsed()
    {
        QFETCH(QString, planted);
        QFETCH(QString, why);
        QTemporaryDir dir;
        qputenv("TX9_LOCK_DIR",
                QFile::encodeName(planted == "nofolder" ? dir.filePath("gone") : dir.path()));
        const QString path = CableLock::idLockPath("K1");
        const QString target = dir.filePath("target");
        QFile(target).open(QIODevice::WriteOnly);
        if (planted == "dangling")
            QVERIFY(QFile::link(dir.filePath("nowhere"), path));
        else if (planted == "symlink")
            QVERIFY(QFile::link(target, path));
        else if (planted == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0666), 0);
        else if (planted == "folder")
            QVERIFY(QDir().mkdir(path));
        CableLock lock;
        QCOMPARE(lock.lockId("K1"), CableLock::Result::Failed);
        QVERIFY2(lock.error().contains(path) && lock.error().contains(why),
                 qPrintable(lock.error()));
        QCOMPARE(CableLock::holderOf(target), qint64(0)); // nothing taken on the target
        QCOMPARE(lock.claim("K1", "/sim/hidraw0"), CableLock::Result::Failed);
    }

    void claimBeforeAnythingIsSent()
    {
        QTemporaryDir dir;
        qputenv("TX9_LOCK_DIR", QFile::encodeName(dir.path()));
        const QString node = dir.filePath("hidraw4");
        QFile(node).open(QIODevice::WriteOnly);
        CableLock first, second;
        // Known only by its node: the node's name is locked, so the loser knows at once.
        QCOMPARE(first.claim(node, node), CableLock::Result::Held);
        QCOMPARE(second.claim(node, node), CableLock::Result::InUse);
        QCOMPARE(second.holder(), qint64(::getpid()));
        // The node locked by an older logger that took no name lock: seen through /proc/locks.
        first.release();
        CableLock older;
        QCOMPARE(older.lockNode(node), CableLock::Result::Held);
        QCOMPARE(second.claim(node, node), CableLock::Result::InUse);
        older.release();
        QCOMPARE(second.claim(node, node), CableLock::Result::Held);
        // A simulated node (no file) has no name lock: two programs may each have one.
        CableLock a, b;
        QCOMPARE(a.claim("/sim/hidraw0", "/sim/hidraw0"), CableLock::Result::Held);
        QCOMPARE(b.claim("/sim/hidraw0", "/sim/hidraw0"), CableLock::Result::Held);
    }

    // Long IDs are bounded the same way in lock files, unit names and --device; unit names
    // are what systemd-escape makes of the bounded ID, and never pass systemd's 255.
    void longIdsAndUnitNames_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("serial") << "A1B2C3";
        QTest::newRow("port path") << "1-1.2";
        QTest::newRow("spaces and a unit") << "x poweroff.target y";
        QTest::newRow("leading dot, slash, quote") << ".a/b'c\"d\\e";
        QTest::newRow("126 non-ASCII") << QString(126, QChar(0xe9));
        QTest::newRow("200 ASCII") << QString(200, 'k');
        QTest::newRow("emoji") << QString::fromUtf8("\xf0\x9f\x8c\xa1 probe \xf0\x9f\x8c\xa1") +
                                      QString(40, 'z');
    }
    void longIdsAndUnitNames()
    {
        QFETCH(QString, id);
        const QString bounded = CableIds::boundedId(id);
        QVERIFY(bounded.toUtf8().size() <= CableIds::MaxIdBytes);
        QCOMPARE(bounded == id, id.toUtf8().size() <= CableIds::MaxIdBytes);
        const QString unit = CableIds::unitName(id);
        QVERIFY2(unit.size() <= 255, qPrintable(unit));
        QProcess escape;
        escape.start("systemd-escape", {"--template=tx9-logger@.service", "--", bounded});
        QVERIFY(escape.waitForFinished(10000));
        QCOMPARE(unit, QString::fromUtf8(escape.readAllStandardOutput()).trimmed());
        QVERIFY(!unit.contains(' '));
        QVERIFY(CableLock::idLockPath(id).section('/', -1).size() < 255);
        const QList<CableIds::Cable> cables{{"/dev/hidraw1", "OTHER", ""},
                                            {"/dev/hidraw2", id, "1-9"}};
        QCOMPARE(CableIds::find(cables, bounded), 1);
    }
};

QTEST_APPLESS_MAIN(tst_CableIds)
#include "tst_CableIds.moc"
