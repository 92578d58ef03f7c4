// Watching loggers from a desk (Tools -> Loggers...): the watch's reading of what loggers
// publish, and the window against two real loggers (the demo program, headless, each on its
// simulated cable) publishing to a real mosquitto.

#include "../common/LocalBroker.h"
#include "app/LoggersWindow.h"
#include "mqtt/LoggerWatch.h"
#include "timechart/TimeChart.h"

#include <qcustomplot.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

class tst_Loggers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    static QByteArray reading(const char *time, const char *display, int no)
    {
        return QByteArray("{\"seq\":1,\"no\":") + QByteArray::number(no) + ",\"time\":\"" + time +
               "\",\"value\":" + display + ",\"display\":\"" + display +
               "\",\"unit\":\"°C\",\"mode\":\"live\",\"id\":\"kiln\"}";
    }

private slots:
    // What makes a logger stand out, from the messages a logger sends: its reading growing
    // old past three of its intervals (10 s at least; 30 s until the interval is known), the
    // cable not connected, offline, alarms (several at once; ends and starts notified only as
    // they happen, not the state the broker kept from before), the retained state older than
    // the last live reading, and what is no logger's message (a line protocol reading).
    void watchReadsWhatLoggersSay()
    {
        LoggerWatch w;
        QSignalSpy alarms(&w, &LoggerWatch::alarmChanged);
        const qint64 t0 = QDateTime::fromString("2026-12-10T08:00:00.000Z", Qt::ISODateWithMs)
                              .toMSecsSinceEpoch();
        const auto at = [&](double s) { return t0 + qint64(s * 1000); };
        w.message("site/kiln/status", "online", true, at(0));
        w.message("site/kiln/state", reading("2026-12-10T08:00:00.000Z", "21.5", 1), true, at(0));
        w.message("site/kiln/alarm",
                  R"({"alarm":"high","state":"start","active":["high"],"id":"kiln"})", true, at(0));
        QCOMPARE(w.loggers().size(), size_t(1));
        const LoggerWatch::Logger &k = w.loggers()[0];
        QCOMPARE(k.Id, QStringLiteral("kiln"));
        QCOMPARE(k.Alarms, QStringList{"high"});
        QCOMPARE(alarms.size(), 0); // on before it was watched
        QCOMPARE(LoggerWatch::troubles(k, at(29)), QStringList{"alarm: high"});
        QCOMPARE(LoggerWatch::troubles(k, at(31)),
                 QStringList({"alarm: high", "no reading for 31 s"}));
        w.message("site/kiln/diagnostics",
                  R"({"cable_connected":true,"outbox":3,"id":"kiln","cable":"1a2b","interval":5})",
                  false, at(1));
        QCOMPARE(k.Cable, QStringLiteral("1a2b"));
        QCOMPARE(k.Outbox, quint64(3));
        QCOMPARE(LoggerWatch::staleAfterMs(k), qint64(15000));
        w.message("site/kiln/reading", reading("2026-12-10T08:00:05.000Z", "22.0", 2), false,
                  at(5));
        w.message("site/kiln/state", reading("2026-12-10T08:00:00.000Z", "21.5", 1), true, at(6));
        QCOMPARE(k.Display, QStringLiteral("22.0"));
        QCOMPARE(k.Readings->count(), qint64(2));
        w.message("site/kiln/reading", "temperature,id=kiln value=22.5 1765353606000000000", false,
                  at(6));
        QCOMPARE(k.Readings->count(), qint64(2));
        w.message("site/kiln/alarm",
                  R"({"alarm":"cable lost","state":"start","active":["high","cable lost"],)"
                  R"("detail":"the cable 1a2b was unplugged","id":"kiln"})",
                  false, at(7));
        w.message("site/kiln/diagnostics", R"({"cable_connected":false,"outbox":3,"id":"kiln"})",
                  false, at(7));
        w.message("site/kiln/alarm",
                  R"({"alarm":"high","state":"end","active":["cable lost"],"id":"kiln"})", false,
                  at(8));
        w.message("site/kiln/status", "offline", true, at(9));
        QCOMPARE(LoggerWatch::troubles(k, at(21)),
                 QStringList({"alarm: cable lost", "offline", "cable not connected",
                              "no reading for 16 s"}));
        QCOMPARE(alarms.size(), 2);
        QCOMPARE(alarms[0].value(1).toString(), QStringLiteral("cable lost"));
        QVERIFY(alarms[0].value(2).toBool());
        QCOMPARE(alarms[0].value(3).toString(), QStringLiteral("the cable 1a2b was unplugged"));
        QCOMPARE(alarms[1].value(1).toString(), QStringLiteral("high"));
        QVERIFY(!alarms[1].value(2).toBool());
        // A logger that says no more than "active" did before it: its start and end.
        w.message("site/old/alarm", R"({"alarm":"low","state":"start"})", false, at(10));
        QCOMPARE(w.loggers()[1].Alarms, QStringList{"low"});
        w.message("site/old/alarm", R"({"alarm":"low","state":"end"})", false, at(11));
        QVERIFY(w.loggers()[1].Alarms.isEmpty());
        QCOMPARE(alarms.size(), 4);
        // Its "none" is the alarm of no reading, by the name every logger now gives it; an
        // "off" state is no alarm.
        w.message("site/old/alarm", R"({"alarm":"none","state":"start"})", false, at(12));
        QCOMPARE(w.loggers()[1].Alarms, QStringList{"no reading"});
        w.message("site/old/alarm", R"({"alarm":null,"state":"off","active":[]})", false, at(13));
        QVERIFY(w.loggers()[1].Alarms.isEmpty());
    }

    // Two loggers, each on its simulated cable, publish to a real broker while the window
    // watches: both listed with their cables and readings; one cable pulled is shown blind at
    // once (before that logger's own cable alarm, held for 8 s, starts, and notified when it
    // does); the other's high alarm is notified as it starts; a double-click opens the chart
    // of what arrived from it. The window publishes nothing: a subscriber to every topic sees
    // no message while it watches on after the loggers have ended.
    void twoLoggersOnABroker()
    {
        LocalBroker broker(m_dir.filePath("broker"));
        QVERIFY(broker.start());
        LoggersWindow window(std::nullopt, nullptr);
        QSignalSpy notified(&window, &LoggersWindow::notified);
        window.show();
        window.setBroker(broker.url(), "tx9-logger/#");
        QVERIFY(window.connectToBroker());
        QTRY_VERIFY_WITH_TIMEOUT(window.watch().connected(), 10000);
        const auto logger = [&](const QString &id, const QStringList &more) {
            auto *p = new QProcess(this);
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert("XDG_STATE_HOME", m_dir.filePath("state-" + id));
            p->setProcessEnvironment(e);
            p->start(TX9_DEMO, QStringList{"--headless", "-q", "--interval", "1", "--duration",
                                           "24", "--mqtt", broker.url(), "--mqtt-id", id} +
                                   more);
            return p;
        };
        QProcess *a = logger("a", {"--unplug-after", "6", "--hold", "8"});
        QProcess *b = logger("b", {"--high", "0"});
        const auto indexOf = [&](const QString &id) {
            const auto &l = window.watch().loggers();
            for (size_t i = 0; i < l.size(); ++i)
                if (l[i].Id == id)
                    return int(i);
            return -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            indexOf("a") >= 0 && indexOf("b") >= 0 &&
                !window.watch().loggers()[size_t(indexOf("a"))].Cable.isEmpty() &&
                window.watch().loggers()[size_t(indexOf("a"))].ReadingMs > 0 &&
                window.watch().loggers()[size_t(indexOf("b"))].ReadingMs > 0,
            15000);
        const int ia = indexOf("a"), ib = indexOf("b");
        QCOMPARE(window.list()->rowCount(), 2);
        QCOMPARE(window.list()->item(ia, 0)->text(), QStringLiteral("a"));
        QVERIFY(window.list()->item(ia, 2)->text().endsWith("°C"));
        QTRY_COMPARE_WITH_TIMEOUT(window.stateText(ia), QStringLiteral("OK"), 5000);
        // b's alarm, notified as it started.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QList<QVariant> &n : notified)
                    if (n[0].toString() == "Logger b: alarm high started")
                        return true;
                return false;
            }(),
            10000);
        QVERIFY(window.stateText(ib).contains("ALARM: HIGH"));
        QVERIFY(window.list()->item(ib, 7)->font().bold());
        // a's cable pulled: blind on the list while its own alarm still waits for its hold.
        QTRY_VERIFY_WITH_TIMEOUT(window.stateText(ia).contains("CABLE NOT CONNECTED"), 12000);
        QVERIFY(window.watch().loggers()[size_t(ia)].Alarms.isEmpty());
        QVERIFY(window.list()->item(ia, 0)->font().bold());
        if (const QByteArray shots = qgetenv("TX9_SCREENSHOTS"); !shots.isEmpty())
            window.grab().save(QString::fromLocal8Bit(shots) + "/loggers-window.png");
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QList<QVariant> &n : notified)
                    if (n[0].toString() == "Logger a: alarm cable lost started")
                        return n[1].toString().contains("unplugged");
                return false;
            }(),
            15000);
        // The chart of what arrived from b.
        window.list()->cellDoubleClicked(ib, 0);
        TimeChart *chart = window.openChart(ib);
        QVERIFY(chart && chart->isVisible());
        QVERIFY(chart->windowTitle().contains("logger b"));
        QSignalSpy noteAsked(chart, &TimeChart::noteRequested);
        QTest::keyClick(chart, Qt::Key_N);
        QCOMPARE(noteAsked.size(), 0); // another logger's readings take no note here
        const qint64 arrived = window.watch().loggers()[size_t(ib)].Readings->count();
        QVERIFY2(arrived >= 5, qPrintable(QString::number(arrived)));
        chart->showAll();
        chart->replotNow();
        // The whole of what arrived is in view, at the times it was captured.
        const MeasurementTable &rows = *window.watch().loggers()[size_t(ib)].Readings;
        const double first = double(MeasurementTable::msOfPacked(rows.capturedPacked(0))) / 1000,
                     last = double(MeasurementTable::msOfPacked(
                                rows.capturedPacked(rows.count() - 1))) /
                            1000;
        QVERIFY2(chart->view().lower <= first && chart->view().upper >= last,
                 qPrintable(chart->viewText()));
        if (const QByteArray shots = qgetenv("TX9_SCREENSHOTS"); !shots.isEmpty())
            chart->grab().save(QString::fromLocal8Bit(shots) + "/loggers-chart.png");
        for (QProcess *p : {a, b})
            QVERIFY(p->waitForFinished(40000) && p->exitCode() == 0);
        // Nothing published by the watch: the loggers have ended, it watches on.
        QProcess all;
        all.start("mosquitto_sub",
                  {"-h", "127.0.0.1", "-p", QString::number(broker.port), "-t", "#", "-v", "-R"});
        QVERIFY(all.waitForStarted());
        QTest::qWait(500);
        window.connectToBroker(); // a new connection and subscription
        QTRY_VERIFY_WITH_TIMEOUT(window.watch().connected(), 10000);
        QTest::qWait(1500);
        all.terminate();
        all.waitForFinished();
        QCOMPARE(all.readAllStandardOutput(), QByteArray());
    }
};

QTEST_MAIN(tst_Loggers)
#include "tst_Loggers.moc"
