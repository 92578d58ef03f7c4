#include "decode/FrameDecoder.h"
#include "sim/SimulatedThermometer.h"

#include <QThread>
#include <QtTest>

// The simulated instrument and cable, driven directly, faster than real time.
class tst_SimulatedThermometer : public QObject
{
    Q_OBJECT

    // Pulls reports from the model and decodes them as the program does; returns the frames.
    static QStringList pull(SimulatedThermometer &m, int reports, QSet<int> *chunkSizes = nullptr,
                            int *idle = nullptr)
    {
        Decode::AssemblyState st;
        QStringList frames;
        for (int i = 0; i < reports; ++i) {
            const auto next = m.next();
            if (!next)
                continue;
            const QByteArray r = next->second;
            if (r.size() != 11)
                qFatal("a report of the wrong length");
            const auto res = Decode::assembleReport(
                st, quint8(r[0]), reinterpret_cast<const quint8 *>(r.constData()) + 1, 10);
            if (res.CarriedSerial && chunkSizes)
                chunkSizes->insert(quint8(r[1]) & 0x0F);
            if (!res.CarriedSerial && idle)
                ++*idle;
            if (res.FrameCompleted)
                frames << res.FrameText;
        }
        return frames;
    }
    static QByteArray baud(int rate)
    {
        QByteArray f(10, '\0');
        f[1] = char(rate & 0xFF);
        f[2] = char(rate >> 8);
        f[5] = 3;
        return f;
    }
    static QByteArray command(int code)
    {
        QByteArray c(11, '\0');
        c[1] = 1;
        c[2] = char(code);
        return c;
    }
    static ThermometerSettings fast()
    {
        ThermometerSettings s;
        s.LiveIntervalUs = 50'000; // five idle reports apart
        s.OddDisplayEvery = 4;
        return s;
    }

private slots:
    // The bus keeps, like the kernel's hidraw, at most 64 unread reports per open handle;
    // what falls due beyond that is lost and counted.
    void unreadReportsAreBoundedLikeTheKernel()
    {
        ThermometerSettings settings;
        settings.IdleIntervalUs = 1000;
        SimulatedHidBus bus;
        const int id = bus.plug(SimulatedThermometer::cableInterface(),
                                std::make_shared<SimulatedThermometer>(settings));
        quint32 error = 0;
        const auto h = bus.open("/sim/hidraw-usb-serial", HidOpenMode::ReadOnly, &error);
        quint8 buffer[11];
        QCOMPARE(bus.read(h, buffer, 11, 100).Status, HidReadStatus::Completed);
        QThread::msleep(300); // nobody reads: about 300 reports fall due
        int read = 0;
        while (bus.read(h, buffer, 11, 0).Status == HidReadStatus::Completed && read < 1000)
            ++read;
        QVERIFY2(read >= SimulatedHidBus::KernelQueueLimit &&
                     read <= SimulatedHidBus::KernelQueueLimit + 2,
                 qPrintable(QString::number(read)));
        QVERIFY2(bus.droppedReports(id) > 150, qPrintable(QString::number(bus.droppedReports(id))));
        bus.close(h);
    }

    void silentUntilTheBaudRateIsSet()
    {
        SimulatedThermometer m(fast());
        m.outputReport(command(90));
        int idle = 0;
        QVERIFY(pull(m, 50, nullptr, &idle).isEmpty());
        QCOMPARE(idle, 50); // the cable still sends its idle reports
        m.featureReport(baud(9600));
        m.outputReport(command(90));
        QVERIFY(pull(m, 50).isEmpty()); // wrong speed: nothing understood
        QCOMPARE(m.baudRate(), 9600);
    }

    void identificationThenLiveFrames()
    {
        SimulatedThermometer m(fast());
        m.featureReport(baud(2400));
        QStringList frames = pull(m, 20);
        QCOMPARE(frames, QStringList({"A0814210"
                                      "00D"}));
        QCOMPARE(Decode::rangeMaxForModel(frames[0]).value_or(0), 1055);
        m.outputReport(command(90));
        QSet<int> sizes;
        frames = pull(m, 2000, &sizes);
        QVERIFY(frames.size() >= 20);
        int over = 0, dashes = 0;
        for (const QString &f : frames) {
            QCOMPARE(Decode::frameTypeOf(f), QStringLiteral("AD01"));
            over += f.mid(2, 4) == "A0FA";
            dashes += f.mid(2, 4) == "BBBB";
        }
        QVERIFY(over > 0 && dashes > 0);
        QVERIFY(sizes.size() > 3); // frames are cut into reports of varying length
        QCOMPARE(m.liveFramesSent(), qint64(frames.size()));
        // Stop: only idle reports from now on.
        m.outputReport(command(91));
        int idle = 0;
        QVERIFY(pull(m, 100, nullptr, &idle).isEmpty());
        QCOMPARE(idle, 100);
        QCOMPARE(m.commands(), QList<quint8>({90, 91}));
    }

    void downloadEndsWithTheMarker()
    {
        SimulatedThermometer m(fast());
        m.setMemory({{"1", "A201"}, {"3", "B050"}});
        m.featureReport(baud(2400));
        pull(m, 20);
        m.outputReport(command(7));
        const QStringList frames = pull(m, 100);
        QCOMPARE(frames, QStringList({"A1A201"
                                      "07"
                                      "00D",
                                      "A3B050"
                                      "07"
                                      "99D"}));
        QCOMPARE(m.storedFramesSent(), 2);
        // An empty memory sends the marker alone.
        m.setMemory({});
        m.outputReport(command(7));
        QCOMPARE(pull(m, 100), QStringList({"A0AAAA"
                                            "00"
                                            "99D"}));
    }

    void baudReportDropsWhatWasPending()
    {
        SimulatedThermometer m(fast());
        m.featureReport(baud(2400));
        m.featureReport(baud(2400)); // the first identification frame is dropped unsent
        QCOMPARE(pull(m, 30).size(), 1);
    }

    void fahrenheit()
    {
        ThermometerSettings s = fast();
        s.Fahrenheit = true;
        s.OddDisplayEvery = 0;
        SimulatedThermometer m(s);
        m.featureReport(baud(2400));
        m.outputReport(command(90));
        const QStringList frames = pull(m, 200);
        QVERIFY(frames.size() > 2);
        for (const QString &f : frames.mid(1))
            QCOMPARE(f.at(1), QChar('3'));
    }

    // What a demo shows within a minute: a room's temperature in either unit, a walk of its
    // own for each seed, an over-range display and a breach at the moments asked for.
    void forcedMomentsAndPlausibleUnits()
    {
        auto live = [&](quint32 seed, bool fahrenheit) {
            ThermometerSettings s = fast();
            s.OddDisplayEvery = 0;
            s.Fahrenheit = fahrenheit;
            s.Seed = seed;
            s.OverRangeAtS = 0.5; // the 11th and 12th frames, at 50 ms each
            s.OverRangeSeconds = 0.1;
            s.BreachAtS = 1.0; // frames 21 to 30
            s.BreachSeconds = 0.5;
            SimulatedThermometer m(s);
            m.featureReport(baud(2400));
            m.outputReport(command(90));
            QStringList digits;
            for (const QString &f : pull(m, 800).mid(1)) // after the identification
                digits << f.mid(2, 4);
            return digits;
        };
        auto tenths = [](const QString &d) {
            return QString(d).remove('A').replace('B', '-').toInt();
        };
        for (const bool fahrenheit : {false, true}) {
            const QStringList d = live(7, fahrenheit);
            QVERIFY(d.size() > 40);
            const int room = tenths(d[0]);
            QVERIFY2(fahrenheit ? room > 700 && room < 790 : room > 200 && room < 260,
                     qPrintable(d[0]));
            QCOMPARE(d[10], QStringLiteral("A0FA"));
            QCOMPARE(d[11], QStringLiteral("A0FA"));
            QVERIFY(d[12] != QStringLiteral("A0FA"));
            const int step = fahrenheit ? 180 : 100;
            QVERIFY(std::abs(tenths(d[20]) - tenths(d[19]) - step) <= 8);
            QVERIFY(std::abs(tenths(d[29]) - tenths(d[30]) - step) <= 8);
            QVERIFY(std::abs(tenths(d[25]) - tenths(d[15]) - step) <= 60);
        }
        QVERIFY(live(7, false) != live(8, false));
    }
};

QTEST_APPLESS_MAIN(tst_SimulatedThermometer)
#include "tst_SimulatedThermometer.moc"
