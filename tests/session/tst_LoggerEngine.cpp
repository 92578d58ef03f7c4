#include "common/Wait.h"
#include "decode/MeterCommand.h"
#include "recording/MeasurementTable.h"
#include "session/LoggerEngine.h"
#include "sim/SimulatedThermometer.h"

#include <QtTest>

// The engine on its own, without a window: fake settings, a log of what it tells its face,
// the simulated cable and meter. This target links the core libraries only (no GUI module),
// which is what keeps the engine free of widgets.
class tst_LoggerEngine : public QObject
{
    Q_OBJECT

    struct Face : LoggerEngine::Face
    {
        bool download = false, interval = false, repeat = true, wanted = false;
        bool clear = false;
        int row = -1;
        QStringList events;

        bool recallData() const override { return download; }
        bool recordSI() const override { return interval; }
        bool repeatSet() const override { return repeat; }
        QString intervalText() const override { return QStringLiteral("0"); }
        bool connectWanted() const override { return wanted; }
        int chosenRow() const override { return row; }
        bool clearBeforeDownload() override { return clear; }
        void connecting() override { events << "connecting"; }
        void recallLocked(bool locked) override
        {
            events << QStringLiteral("locked %1").arg(locked);
        }
        void rowStored(qint64 r, float, std::optional<double>, const QDateTime &at) override
        {
            events << QStringLiteral("row %1").arg(r);
            captured << at;
        }
        QList<QDateTime> captured;
        void recordLimitReached() override { events << "limit"; }
        void tableCleared() override { events << "cleared"; }
        void downloadEnded() override { events << "download ended"; }
        void deviceChosen(int r) override { row = r; }
        void connectionLost() override { events << "connection lost"; }
        void deviceRemoved(THidDevice *) override { events << "removed"; }
        void watchdogTripped() override { events << "watchdog"; }
        int rows() const { return int(events.filter(QRegularExpression("^row ")).size()); }
    };

    struct Rig
    {
        SimulatedHidBus bus;
        std::shared_ptr<SimulatedThermometer> meter;
        int cable;
        LoggerState state;
        Face face;
        MeasurementTable table;
        LoggerEngine engine{state, face};

        Rig()
        {
            ThermometerSettings s;
            s.IdleIntervalUs = 5000;
            s.LiveIntervalUs = 20000;
            s.ByteGapUs = 500;
            s.OddDisplayEvery = 0;
            meter = std::make_shared<SimulatedThermometer>(s);
            cable = bus.plug(SimulatedThermometer::cableInterface(), meter);
            state.DecimalSep = QStringLiteral(".");
            engine.Table = &table;
            engine.createController(&bus);
            engine.installOwnHandlers();
        }
        void connect()
        {
            face.wanted = true;
            engine.toggleConnection();
        }
    };

private slots:
    void liveRowsAndTheirEvents()
    {
        Rig rig;
        QCOMPARE(rig.face.row, 0); // the cable is chosen
        rig.connect();
        QCOMPARE(rig.face.events.mid(0, 2), QStringList({"connecting", "locked 1"}));
        QVERIFY(waitUntil([&] { return rig.face.rows() >= 5; }, 20000));
        // The baud rate went out before the start and live commands.
        QCOMPARE(rig.meter->commands().mid(0, 2),
                 QList<quint8>({Decode::code(Decode::MeterCommand::Live),
                                Decode::code(Decode::MeterCommand::Live)}));
        for (qint64 r = 0; r < rig.table.count(); ++r)
            QCOMPARE(rig.table.no(r), std::optional<qint32>(qint32(r + 1)));
        rig.face.wanted = false;
        rig.engine.toggleConnection();
        QCOMPARE(rig.face.events.last(), QStringLiteral("locked 0"));
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
        QVERIFY(waitUntil([&] { return rig.face.events.contains("download ended"); }, 20000));
        QTest::qWait(100);
        QCOMPARE(rig.face.events.count("download ended"), 1);
        QCOMPARE(rig.face.events.count("cleared"), 1);
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
        QVERIFY(waitUntil([&] { return rig.face.rows() >= 2; }, 20000));
        const int commands = int(rig.meter->commands().size());
        VirtualInterface mouse;
        mouse.InstanceId = "mouse";
        const int mouseId = rig.bus.plug(mouse);
        rig.bus.unplug(mouseId);
        const int rows = rig.face.rows();
        QVERIFY(waitUntil([&] { return rig.face.rows() >= rows + 3; }, 20000));
        QCOMPARE(int(rig.meter->commands().size()), commands);
        for (qint64 r = 0; r < rig.table.count(); ++r)
            QCOMPARE(rig.table.no(r), std::optional<qint32>(qint32(r + 1)));
        QVERIFY(!rig.face.events.contains("connection lost"));
        rig.bus.update(rig.cable, [](VirtualInterface &v) { v.InstanceId = "another"; });
        rig.bus.plug(mouse);
        QCOMPARE(rig.face.events.count("connection lost"), 1);
    }

    void recordLimitIsSaidOnce()
    {
        Rig rig;
        rig.state.RecordLimit = 4;
        rig.connect();
        QVERIFY(waitUntil([&] { return rig.face.events.contains("limit"); }, 20000));
        QTest::qWait(200);
        QCOMPARE(rig.face.rows(), 4);
        QCOMPARE(rig.face.events.count("limit"), 1);
    }
};

QTEST_GUILESS_MAIN(tst_LoggerEngine)
#include "tst_LoggerEngine.moc"
