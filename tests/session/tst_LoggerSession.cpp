#include "common/Wait.h"
#include "decode/MeterCommand.h"
#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "session/LoggerSession.h"
#include "sim/SimulatedThermometer.h"

#include <QTemporaryDir>
#include <QtTest>

// The session on its own, without a window: fake settings, a log of its signals, the
// simulated cable and meter. This target links the core libraries only (no GUI module), which
// is what keeps the session free of widgets.
class tst_LoggerSession : public QObject
{
    Q_OBJECT

    // Fake settings, and a log of the session's signals.
    struct Settings : LoggerSession::Settings
    {
        bool download = false, interval = false, repeat = true, wanted = false;
        bool clear = false;
        int row = -1;
        bool recallData() const override { return download; }
        bool recordSI() const override { return interval; }
        bool repeatSet() const override { return repeat; }
        QString intervalText() const override { return QStringLiteral("0"); }
        bool connectWanted() const override { return wanted; }
        int chosenRow() const override { return row; }
        bool clearBeforeDownload() override { return clear; }
    };

    struct Rig
    {
        QTemporaryDir state;
        SimulatedHidBus bus;
        std::shared_ptr<SimulatedThermometer> meter;
        int cable;
        Settings face;
        LoggerSession session{face, state.path()};
        MeasurementTable &table = session.table();
        LoggerEngine &engine = session.engine();
        QStringList events;
        QList<QDateTime> captured;

        Rig()
        {
            ThermometerSettings s;
            s.IdleIntervalUs = 5000;
            s.LiveIntervalUs = 20000;
            s.ByteGapUs = 500;
            s.OddDisplayEvery = 0;
            meter = std::make_shared<SimulatedThermometer>(s);
            cable = bus.plug(SimulatedThermometer::cableInterface(), meter);
            session.state().DecimalSep = QStringLiteral(".");
            const LoggerEngine *l = &session.engine();
            auto say = [this](const QString &e) { return [this, e] { events << e; }; };
            QObject::connect(l, &LoggerEngine::connecting, say("connecting"));
            QObject::connect(l, &LoggerEngine::recallLocked, [this](bool locked) {
                events << QStringLiteral("locked %1").arg(locked);
            });
            QObject::connect(l, &LoggerEngine::rowStored,
                             [this](qint64 r, qint32 no, float, const QDateTime &at) {
                                 events << QStringLiteral("row %1 no %2").arg(r).arg(no);
                                 captured << at;
                             });
            QObject::connect(l, &LoggerEngine::recordLimitReached, say("limit"));
            QObject::connect(l, &LoggerEngine::tableCleared, say("cleared"));
            QObject::connect(l, &LoggerEngine::downloadEnded, say("download ended"));
            QObject::connect(l, &LoggerEngine::connectionLost, say("connection lost"));
            QObject::connect(l, &LoggerEngine::deviceChosen, [this](int r) { face.row = r; });
            engine.createController(&bus);
            engine.installOwnHandlers();
            session.journal().attach(&table);
        }
        void connect()
        {
            face.wanted = true;
            engine.toggleConnection();
        }
        int rows() const { return int(events.filter(QRegularExpression("^row ")).size()); }
    };

private slots:
    void liveRowsAndTheirEvents()
    {
        Rig rig;
        QCOMPARE(rig.face.row, 0); // the cable is chosen
        rig.connect();
        QCOMPARE(rig.events.mid(0, 2), QStringList({"connecting", "locked 1"}));
        QVERIFY(waitUntil([&] { return rig.rows() >= 5; }, 20000));
        // The baud rate went out before the start and live commands.
        QCOMPARE(rig.meter->commands().mid(0, 2),
                 QList<quint8>({Decode::code(Decode::MeterCommand::Live),
                                Decode::code(Decode::MeterCommand::Live)}));
        for (qint64 r = 0; r < rig.table.count(); ++r)
            QCOMPARE(rig.table.no(r), std::optional<qint32>(qint32(r + 1)));
        // Each row's capture time has its date and offset; its time of day is the Time text.
        QCOMPARE(rig.captured.size(), int(rig.table.count()));
        for (qint64 r = 0; r < rig.table.count(); ++r) {
            const QDateTime &at = rig.captured[int(r)];
            QVERIFY(at.isValid() && at.date().isValid());
            QCOMPARE(at.offsetFromUtc(), at.toLocalTime().offsetFromUtc());
            QVERIFY(qAbs(at.secsTo(QDateTime::currentDateTime())) < 60);
            // Kept beside the row, to the millisecond and with its offset; what is saved and
            // loaded back has none.
            const std::optional<QDateTime> kept = rig.table.captured(r);
            QVERIFY(kept && *kept == at && kept->offsetFromUtc() == at.offsetFromUtc());
            QCOMPARE(rig.table.snapshot()->captured(r), kept);
            QCOMPARE(at.time().toString(QStringLiteral("hh:mm:ss")),
                     QString(rig.table.text(r, MeasurementTable::FieldTime))
                         .replace(QRegularExpression("[^0-9]"), ":"));
        }
        QCOMPARE(rig.events.filter("row 0").first(), QStringLiteral("row 0 no 1"));
        MeasurementTable copy;
        copy.appendFrom(rig.table);
        QCOMPARE(copy.captured(0), rig.table.captured(0));
        MeasurementTable back;
        QCOMPARE(
            DataFiles::loadBytes(DataFiles::textFile(rig.table, QDate::currentDate()), false, back),
            DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), rig.table.count());
        QVERIFY(!back.captured(0));
        // Offsets east and west of Greenwich survive the packing.
        for (const int offset : {-9 * 3600 - 1800, 0, 5 * 3600 + 2700, 14 * 3600}) {
            const QDateTime t =
                QDateTime::fromMSecsSinceEpoch(1796821387512, Qt::OffsetFromUTC, offset);
            const auto u = MeasurementTable::unpackTime(MeasurementTable::packTime(t));
            QVERIFY(u && *u == t && u->offsetFromUtc() == offset);
        }
        rig.face.wanted = false;
        rig.engine.toggleConnection();
        QCOMPARE(rig.events.last(), QStringLiteral("locked 0"));
        QCOMPARE(rig.meter->commands().last(), Decode::code(Decode::MeterCommand::Stop));
    }

    void downloadEndsOnceWithTheStopCommand()
    {
        Rig rig;
        QList<SimulatedThermometer::Stored> memory;
        for (int i = 0; i < 12; ++i)
            memory.append({"1", QStringLiteral("%1").arg(300 + i, 4, 10, QChar('0'))});
        rig.meter->setMemory(memory);
        rig.table.appendRow({99, "old", "", ""});
        rig.face.download = rig.face.clear = true;
        rig.connect();
        QVERIFY(waitUntil([&] { return rig.events.contains("download ended"); }, 20000));
        QTest::qWait(100);
        QCOMPARE(rig.events.count("download ended"), 1);
        QCOMPARE(rig.events.count("cleared"), 1);
        QCOMPARE(rig.table.count(), 12);
        QCOMPARE(rig.meter->commands().count(Decode::code(Decode::MeterCommand::Download)), 1);
        QCOMPARE(rig.meter->commands().count(Decode::code(Decode::MeterCommand::Stop)), 1);
    }

    // Any HID device coming or going rebuilds the list: the connected cable's new device
    // object takes over with nothing sent and the numbering going on; a cable that is no
    // longer there ends the connection with its own event.
    void rebuildsWhileConnected()
    {
        Rig rig;
        rig.connect();
        QVERIFY(waitUntil([&] { return rig.rows() >= 2; }, 20000));
        const int commands = int(rig.meter->commands().size());
        VirtualInterface mouse;
        mouse.InstanceId = "mouse";
        const int mouseId = rig.bus.plug(mouse);
        rig.bus.unplug(mouseId);
        const int rows = rig.rows();
        QVERIFY(waitUntil([&] { return rig.rows() >= rows + 3; }, 20000));
        QCOMPARE(int(rig.meter->commands().size()), commands);
        for (qint64 r = 0; r < rig.table.count(); ++r)
            QCOMPARE(rig.table.no(r), std::optional<qint32>(qint32(r + 1)));
        QVERIFY(!rig.events.contains("connection lost"));
        rig.bus.update(rig.cable, [](VirtualInterface &v) { v.InstanceId = "another"; });
        rig.bus.plug(mouse);
        QCOMPARE(rig.events.count("connection lost"), 1);
    }

    void recordLimitIsSaidOnce()
    {
        Rig rig;
        rig.session.state().RecordLimit = 4;
        rig.connect();
        QVERIFY(waitUntil([&] { return rig.events.contains("limit"); }, 20000));
        QTest::qWait(200);
        QCOMPARE(rig.rows(), 4);
        QCOMPARE(rig.events.count("limit"), 1);
    }
};

QTEST_GUILESS_MAIN(tst_LoggerSession)
#include "tst_LoggerSession.moc"
