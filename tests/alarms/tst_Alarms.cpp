// The alarm rules as a table of cases, and the statistics against a plain recomputation on
// random tables (recorded rows, rows loaded from a file, an emptied table).

#include "alarms/AlarmLog.h"
#include "alarms/AlarmMonitor.h"
#include "alarms/AlarmRules.h"
#include "alarms/BlindAlarms.h"
#include "alarms/DesktopNotifier.h"
#include "alarms/Statistics.h"
#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

// A notification service of the test's own, on a bus of its own.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList calls;
    QVariantMap lastHints;
public slots:
    Q_SCRIPTABLE uint Notify(const QString &app, uint, const QString &, const QString &summary,
                             const QString &body, const QStringList &, const QVariantMap &hints,
                             int timeout)
    {
        calls << QStringLiteral("%1|%2|%3|%4").arg(app, summary, body).arg(timeout);
        lastHints = hints;
        return uint(calls.size());
    }
};

class tst_Alarms : public QObject
{
    Q_OBJECT

    static QString describe(const AlarmEvent &e)
    {
        QString s = QStringLiteral("%1%2@%3")
                        .arg(e.Start ? '+' : '-')
                        .arg(AlarmRules::kindName(e.Kind))
                        .arg(QDateTime::fromSecsSinceEpoch(0, Qt::UTC).msecsTo(e.Time) / 1000.0);
        if (!e.Start && e.Worst)
            s += QStringLiteral("/%1").arg(std::round(*e.Worst * 100) / 100);
        return s;
    }

private slots:
    void desktopNotifications()
    {
        QProcess bus;
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY2(bus.waitForReadyRead(10000), "dbus-daemon does not start");
        const QByteArray address = bus.readLine().trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        // No service on the bus: nothing happens, and nothing is claimed.
        QVERIFY(!DesktopNotifier::notify("Alarm high started", "body", true));
        FakeNotifications fake;
        QDBusConnection service = QDBusConnection::connectToBus(QString::fromUtf8(address), "fake");
        QVERIFY(service.registerObject("/org/freedesktop/Notifications", &fake,
                                       QDBusConnection::ExportScriptableSlots));
        QVERIFY(service.registerService("org.freedesktop.Notifications"));
        QVERIFY(DesktopNotifier::notify("Alarm high started", "31.2 \u00B0C is above 30", true));
        QTRY_COMPARE(fake.calls.size(), 1);
        QCOMPARE(fake.calls[0], "TX-9 Logger|Alarm high started|31.2 \u00B0C is above 30|0");
        QCOMPARE(fake.lastHints.value("urgency").toInt(), 2);
        QVERIFY(DesktopNotifier::notify("Alarm high ended", "back", false));
        QTRY_COMPARE(fake.calls.size(), 2);
        QCOMPARE(fake.lastHints.value("urgency").toInt(), 1);
        QDBusConnection::disconnectFromBus("fake");
        bus.kill();
        bus.waitForFinished();
    }

    void rules_data()
    {
        // H high, L low, D hold, Y hysteresis, U unit of the limits (C, F)
        QTest::addColumn<QString>("settings");
        // rT:V reading (V '-' none; 75F, 24C: in that unit), tT tick, cT:H35 change, wT:S the
        // wall clock set S seconds away from the steady one (T is on the steady clock)
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("events");
        QTest::newRow("at once") << "H30"
                                 << "r0:29 r1:31 r2:32 r3:30 r4:29"
                                 << "+high@1 -high@3/32";
        // Limits keep their unit: readings in the other one are converted (86 °F is 30 °C),
        // worst values come in the limits' unit.
        QTest::newRow("°C limits, °F readings") << "H30 UC"
                                                << "r0:85F r1:87.8F r2:89.6F r3:86F r4:85F"
                                                << "+high@1 -high@3/32";
        QTest::newRow("°F limits, °C readings") << "H86 UF"
                                                << "r0:29C r1:31C r2:29C"
                                                << "+high@1 -high@2/87.8";
        // Limits without a unit take the first reading's: a switch later is converted.
        QTest::newRow("switched to °F") << "H30"
                                        << "r0:29C r1:84F r2:88F r3:85F r4:29C"
                                        << "+high@2 -high@3/31.11";
        QTest::newRow("limit unit changed") << "H30 UC"
                                            << "r0:31C c1:UF r2:87F c3:H90 r4:89F"
                                            << "+high@0 -high@3/87.8";
        QTest::newRow("hysteresis") << "H30 Y1"
                                    << "r0:31 r1:30 r2:29.5 r3:29"
                                    << "+high@0 -high@3/31";
        QTest::newRow("hold") << "H30 D2"
                              << "r0:31 r1:32 r2:33 r3:29"
                              << "+high@2 -high@3/33";
        QTest::newRow("back before the hold time") << "H30 D2"
                                                   << "r0:31 r1:32 r1.5:29 r3:31 r4:31 r5:31"
                                                   << "+high@5";
        QTest::newRow("hold passes between readings") << "H30 D3"
                                                      << "r0:31 t2 t3 r4:31"
                                                      << "+high@3";
        QTest::newRow("both limits") << "H30 L10"
                                     << "r0:31 r1:20 r2:5 r3:20"
                                     << "+high@0 -high@1/31 +low@2 -low@3/5";
        QTest::newRow("low with hysteresis") << "L10 Y2"
                                             << "r0:9 r1:11 r2:8 r3:12"
                                             << "+low@0 -low@3/8";
        QTest::newRow("no reading") << "H30 D1"
                                    << "r0:- r0.5:- r1:- r2:25"
                                    << "+no reading@1 -no reading@2";
        QTest::newRow("no reading, no limits") << ""
                                               << "r0:- r5:- r9:-"
                                               << "";
        QTest::newRow("no reading within a breach")
            << "H30"
            << "r0:31 r1:- r2:33 r3:29"
            << "+high@0 +no reading@1 -no reading@2 -high@3/33";
        QTest::newRow("a short no reading") << "H30 D2"
                                            << "r0:- r1:20 r2:- r3:- r4:-"
                                            << "+no reading@4";
        QTest::newRow("limit raised during a breach") << "H30"
                                                      << "r0:31 r1:32 c1:H35 r2:36"
                                                      << "+high@0 -high@1/32 +high@2";
        QTest::newRow("limit raised during the hold") << "H30 D5"
                                                      << "r0:31 c1:H35 r6:31"
                                                      << "";
        QTest::newRow("limit lowered under the reading") << "H30 D0"
                                                         << "r0:25 c2:H20 r3:21 r4:19"
                                                         << "+high@2 -high@4/25";
        QTest::newRow("limit taken away") << "H30"
                                          << "r0:31 c1:Hx r2:40"
                                          << "+high@0 -high@1/31";
        QTest::newRow("the default hysteresis keeps noise quiet")
            << "H30 Yd"
            << "r0:31 r1:29.8 r2:31 r3:29.7 r4:29.4 r5:29.9 r6:30.4"
            << "+high@0 -high@4/31 +high@6";
        QTest::newRow("clock set back an hour during the hold")
            << "H30 D3"
            << "r0:31 w1:-3600 r1:31 r2:31 r3:31 r4:29"
            << "+high@-3597 -high@-3596/31";
        QTest::newRow("clock set back an hour, hold passes between readings")
            << "H30 D3"
            << "r0:31 w0.5:-3600 t1 t2 t3 r4:29"
            << "+high@-3597 -high@-3596/31";
        QTest::newRow("clock set forward an hour during the hold")
            << "H30 D30"
            << "r0:31 w1:3600 r1:31 r5:31 t6 r7:29"
            << "";
        QTest::newRow("clock set forward an hour during an alarm") << "H30 D0"
                                                                   << "r0:31 w2:3600 r3:29"
                                                                   << "+high@0 -high@3603/31";
    }

    void rules()
    {
        QFETCH(QString, settings);
        QFETCH(QString, steps);
        QFETCH(QString, events);
        auto apply = [](AlarmSettings &s, const QString &word) {
            const QString v = word.mid(1);
            const std::optional<double> n =
                v == "x" ? std::nullopt : std::optional<double>(v.toDouble());
            switch (word[0].toLatin1()) {
            case 'H':
                s.High = n;
                break;
            case 'L':
                s.Low = n;
                break;
            case 'D':
                s.HoldSeconds = *n;
                break;
            case 'Y':
                s.Hysteresis = v == "d" ? AlarmSettings{}.Hysteresis : *n;
                break;
            case 'U':
                s.Unit = AlarmRules::unitOf(v);
                break;
            }
        };
        AlarmSettings s;
        s.Hysteresis = 0;
        for (const QString &w : settings.split(' ', Qt::SkipEmptyParts))
            apply(s, w);
        AlarmRules rules;
        rules.setSettings(s);
        const QDateTime zero = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
        QStringList got;
        qint64 wallAhead = 0;         // ms
        QHash<qint64, qint64> steady; // wall ms since zero: steady ms
        const bool stepped = steps.contains('w');
        for (const QString &step : steps.split(' ', Qt::SkipEmptyParts)) {
            const QString at = step.mid(1).section(':', 0, 0);
            const qint64 ms = qint64(at.toDouble() * 1000);
            if (step[0] == 'w') {
                wallAhead = qint64(step.section(':', 1).toDouble() * 1000);
                continue;
            }
            const AlarmMoment t{zero.addMSecs(ms + wallAhead), 1000000 + ms};
            steady.insert(ms + wallAhead, t.SteadyMs);
            QList<AlarmEvent> out;
            if (step[0] == 'r') {
                QString v = step.section(':', 1);
                const QString unit = AlarmRules::unitOf(v.right(1));
                if (!unit.isEmpty())
                    v.chop(1);
                out = rules.feed(t, v == "-" ? std::nullopt : std::optional<double>(v.toDouble()),
                                 unit);
            } else if (step[0] == 't') {
                out = rules.tick(t);
            } else {
                apply(s, step.section(':', 1));
                out = rules.changeSettings(s, t);
            }
            for (const AlarmEvent &e : out) {
                got << describe(e);
                if (e.Kind != AlarmKind::NoReading)
                    QVERIFY(e.Limit);
                if (!stepped)
                    QVERIFY(e.BreachStart <= e.Time);
                // Durations are steady-clock durations, whatever the wall clock did.
                QCOMPARE(e.Seconds, (steady.value(zero.msecsTo(e.Time)) -
                                     steady.value(zero.msecsTo(e.BreachStart))) /
                                        1000.0);
            }
        }
        QCOMPARE(got.join(' '), events);
    }

    // The mean kinetic temperature against a computation of its own (a short Python script
    // given the rows): time weighted, a gap counting no time and the reading before it (and
    // the last) standing for the usual spacing, readings without a number counting nothing,
    // °F converted; unevenly spaced readings where counting them would be off by degrees;
    // the whole table and random ranges of it, as rows come one by one; a published worked
    // example (20 °C for 2 h, 2 °C for 4 h, 25 °C for 1 h: 15.7 °C).
    void meanKineticTemperature()
    {
        const QString script = QStringLiteral(R"(
import json, math, sys
d = json.load(sys.stdin)
k = d['kj'] * 1000 / 8.3144
rows, gap = d['rows'], d['gap']
def celsius(v, unit):
    return None if v is None else ((v - 32) * 5 / 9 if unit == 'F' else v)
spans = [rows[i + 1][0] - rows[i][0] for i in range(len(rows) - 1)] + [None]
timed = [s for i, s in enumerate(spans) if s is not None and s <= gap and rows[i][1] is not None]
usual = sum(timed) / len(timed) if timed else 1.0
out = []
for a, b in d['ranges']:
    num = den = 0.0
    for i in range(a, b + 1):
        t = celsius(rows[i][1], rows[i][2])
        if t is None:
            continue
        w = spans[i] if spans[i] is not None and spans[i] <= gap else usual
        num += w * math.exp(-k / (t + 273.15))
        den += w
    out.append(k / -math.log(num / den) - 273.15 if den > 0 else None)
print(json.dumps(out))
)");
        const QDateTime start = QDateTime::fromString("2026-12-10T00:00:00Z", Qt::ISODate);
        struct Row
        {
            double Seconds;
            const char *Value;
            const char *Unit;
        };
        const auto check = [&](const QList<Row> &rows, double gap, double kj, int ranges,
                               std::optional<double> published = std::nullopt) {
            MeasurementTable table;
            TableStatistics stats(table);
            stats.setKinetics(kj, gap);
            QJsonArray jrows, jranges;
            for (const Row &r : rows) {
                table.appendRow(
                    {1, "00:00:00", r.Value, r.Unit, start.addMSecs(qint64(r.Seconds * 1000))});
                const std::optional<double> v = MeasurementTable::numberOf(r.Value);
                jrows.append(QJsonArray{r.Seconds, v ? QJsonValue(*v) : QJsonValue(),
                                        QString(r.Unit) == "?" ? "F" : "C"});
            }
            QRandomGenerator random(20261210);
            QList<std::pair<qint64, qint64>> asked{{0, rows.size() - 1}};
            for (int i = 0; i < ranges; ++i) {
                const qint64 a = random.bounded(qint64(rows.size())),
                             b = a + random.bounded(qint64(rows.size()) - a);
                asked.append({a, b});
            }
            for (const auto &[a, b] : asked)
                jranges.append(QJsonArray{a, b});
            QProcess python;
            python.start("python3", {"-c", script});
            python.write(
                QJsonDocument(
                    QJsonObject{{"rows", jrows}, {"ranges", jranges}, {"gap", gap}, {"kj", kj}})
                    .toJson());
            python.closeWriteChannel();
            QVERIFY(python.waitForFinished(30000));
            const QJsonArray expected = QJsonDocument::fromJson(python.readAll()).array();
            QCOMPARE(expected.size(), asked.size());
            for (qsizetype i = 0; i < asked.size(); ++i) {
                const StatSummary got =
                    i == 0 ? stats.whole() : stats.range(asked[i].first, asked[i].second);
                QCOMPARE(got.MktCelsius.has_value(), !expected[i].isNull());
                if (got.MktCelsius)
                    QVERIFY2(std::abs(*got.MktCelsius - expected[i].toDouble()) < 0.01,
                             qPrintable(QStringLiteral("%1..%2: %3, expected %4")
                                            .arg(asked[i].first)
                                            .arg(asked[i].second)
                                            .arg(*got.MktCelsius)
                                            .arg(expected[i].toDouble())));
            }
            if (published)
                QCOMPARE(QString::number(*stats.whole().MktCelsius, 'f', 1),
                         QString::number(*published, 'f', 1));
        };
        check({{0, "20.0", "#"}, {7200, "2.0", "#"}, {21600, "25.0", "#"}, {25200, "----", "#"}},
              20000, 83.144, 0, 15.7);
        // Hot for minutes, cold for hours: counted, the mean of the readings is 17.5 °C; by
        // the time each stood for, the cold wins.
        QList<Row> uneven;
        for (int i = 0; i < 40; ++i)
            uneven << Row{i * 3600.0, "5.0", "#"} << Row{i * 3600.0 + 3540, "30.0", "#"};
        check(uneven, 4000, 83.144, 20);
        {
            MeasurementTable t;
            TableStatistics stats(t);
            stats.setKinetics(83.144, 4000);
            for (const Row &r : uneven)
                t.appendRow({1, "00:00:00", r.Value, r.Unit, start.addSecs(qint64(r.Seconds))});
            const StatSummary w = stats.whole();
            QVERIFY2(*w.MktCelsius < 12 && w.Mean == 17.5,
                     qPrintable(QString::number(*w.MktCelsius)));
            QVERIFY(stats.text(w, "°C").contains("Mean kinetic temperature: "));
        }
        // Randomly spaced, with gaps, dashes, °F rows and another activation energy, over
        // more than one block of rows.
        QRandomGenerator random(1160);
        QList<Row> mixed;
        QList<QByteArray> texts;
        double at = 0;
        for (int i = 0; i < 9000; ++i) {
            at += random.bounded(100) < 3 ? 600 + random.bounded(3000) : 1 + random.bounded(20);
            const int kind = random.bounded(100);
            texts << (kind < 5 ? QByteArray("----")
                               : QByteArray::number(kind < 15 ? 40 + random.bounded(60.0)
                                                              : -5 + random.bounded(40.0),
                                                    'f', 1));
            mixed << Row{at, nullptr, kind >= 5 && kind < 15 ? "?" : "#"};
        }
        for (int i = 0; i < mixed.size(); ++i)
            mixed[i].Value = texts[i].constData();
        check(mixed, 60, 100, 30);
    }

    // The blind logger's alarms against a script of conditions (seconds on the steady clock,
    // the wall clock a day ahead of it): a condition shorter than its hold raises nothing,
    // one that lasts raises its alarm when the hold has passed (its start where the condition
    // began) and ends with it; a condition said twice is one; a clock set starts at once and
    // ends after a quiet minute, a second step keeping it on.
    void blindAlarms()
    {
        const QDateTime day = QDateTime::fromString("2026-12-10T00:00:00Z", Qt::ISODate);
        const auto at = [&](double s) {
            return AlarmMoment{day.addMSecs(qint64(s * 1000)), qint64(s * 1000)};
        };
        BlindAlarms b;
        b.setHold(AlarmKind::CableLost, 5);
        b.setHold(AlarmKind::BrokerUnreachable, 600);
        QStringList got;
        const auto run = [&](const QList<AlarmEvent> &events) {
            for (const AlarmEvent &e : events)
                got << QStringLiteral("%1 %2 %3 %4 %5")
                           .arg(AlarmRules::kindName(e.Kind), e.Start ? "start" : "end")
                           .arg(double(day.msecsTo(e.Time)) / 1000)
                           .arg(double(day.msecsTo(e.BreachStart)) / 1000)
                           .arg(e.Seconds);
        };
        run(b.set(AlarmKind::CableLost, true, at(10), "gone"));
        run(b.tick(at(14)));
        run(b.set(AlarmKind::CableLost, false, at(14.5))); // back within the hold
        run(b.set(AlarmKind::CableLost, true, at(20)));
        run(b.set(AlarmKind::CableLost, true, at(22))); // the same loss
        run(b.tick(at(25)));
        run(b.set(AlarmKind::MeterSilent, true, at(26)));
        QVERIFY(b.active(AlarmKind::CableLost) && b.active(AlarmKind::MeterSilent));
        QVERIFY(!b.active(AlarmKind::High));
        run(b.set(AlarmKind::CableLost, false, at(30)));
        run(b.set(AlarmKind::BrokerUnreachable, true, at(30)));
        run(b.tick(at(629)));
        run(b.tick(at(630)));
        run(b.clockStepped(at(700), -3600000));
        run(b.tick(at(740)));
        run(b.clockStepped(at(750), 5000));
        run(b.tick(at(809)));
        run(b.tick(at(810)));
        QCOMPARE(got, QStringList({"cable lost start 25 20 5", "meter silent start 26 26 0",
                                   "cable lost end 30 20 10", "broker unreachable start 630 30 600",
                                   "clock set start 700 700 0", "clock set end 810 700 110"}));
        const QList<AlarmEvent> on = b.stillOn(at(900));
        QCOMPARE(on.size(), 2);
        QCOMPARE(on[0].Kind, AlarmKind::MeterSilent);
        QVERIFY(on[0].OpenAtEnd && on[0].Seconds == 874);
        QVERIFY(AlarmLog::sentence(on[1], {}).startsWith("Alarm broker unreachable started"));
        run(b.set(AlarmKind::CableLost, false, at(901))); // not on: nothing
        QCOMPARE(got.size(), 6);
    }

    // Recorded rows across which the wall clock was set count the time the steady clock
    // measured; rows loaded without a steady time count their capture times, never less than 0.
    void durationsFollowTheSteadyClock()
    {
        MeasurementTable table;
        TableStatistics stats(table);
        stats.setLimits(30.0, std::nullopt);
        const QDateTime start =
            QDateTime::fromString("2026-12-09T11:30:00.000Z", Qt::ISODateWithMs);
        // steady seconds, wall clock set (s), value
        const struct
        {
            double steady, ahead;
            const char *value;
        } rows[] = {{0, 0, "31"},     {1, 0, "31"},     {2, 3600, "31"}, {3, 3600, "20"},
                    {4, -3600, "20"}, {5, -3600, "31"}, {6, 0, "31"},    {7, 0, "20"}};
        for (const auto &r : rows)
            table.appendRow({1, "11:30:00", r.value, "#",
                             start.addMSecs(qint64((r.steady + r.ahead) * 1000)),
                             qint64(r.steady * 1000) + 5000});
        StatSummary whole = stats.whole();
        QCOMPARE(whole.Seconds, 7.0);
        QCOMPARE(whole.SecondsAbove, 5.0); // rows 0, 1, 2, 5, 6 each to the next
        QCOMPARE(stats.range(2, 4).Seconds, 2.0);
        // Rows without a steady time (restored from a journal) go by their capture times,
        // a clock set back counting nothing.
        table.appendRow({9, "11:30:00", "31", "#", start.addMSecs(3000), std::nullopt});
        table.appendRow({10, "11:30:00", "31", "#", start.addMSecs(1000), std::nullopt});
        QCOMPARE(stats.whole().Seconds, 7.0);
        table.clear();
        table.appendRow({1, "11:30:00", "31", "#", start, 100});
        table.appendRow({2, "11:30:00", "31", "#", start.addSecs(3600 + 2), 2100});
        QCOMPARE(stats.whole().Seconds, 2.0);
    }

    // Whole table and random ranges against a plain count, as rows come one by one and in
    // bulk, with and without capture times, after emptying and after loading a file.
    void statisticsEqualARecount()
    {
        QRandomGenerator random(2512);
        MeasurementTable table;
        TableStatistics stats(table);
        const std::optional<double> high = 24.0, low = 21.5;
        stats.setLimits(high, low);
        QDateTime t = QDateTime::fromString("2026-12-09T23:50:00.000+01:00", Qt::ISODateWithMs);
        QStringList values;
        for (int i = 0; i < 300; ++i)
            values << QString::number(18 + i * 0.03, 'f', 1);
        values << "----"
               << " L "
               << "23,5";
        auto recount = [&](qint64 first, qint64 last) {
            StatSummary s;
            std::vector<double> v;
            for (qint64 r = first; r <= last; ++r) {
                const std::optional<double> x =
                    MeasurementTable::numberOf(table.text(r, MeasurementTable::FieldValue));
                if (!x)
                    continue;
                if (s.MinRow < 0 || *x < s.Min)
                    s.Min = *x, s.MinRow = r;
                if (s.MaxRow < 0 || *x > s.Max)
                    s.Max = *x, s.MaxRow = r;
                v.push_back(*x);
            }
            s.Count = qint64(v.size());
            double sum = 0;
            for (double x : v)
                sum += x;
            s.Mean = v.empty() ? 0 : sum / double(v.size());
            double sq = 0;
            for (double x : v)
                sq += (x - s.Mean) * (x - s.Mean);
            s.StdDev = v.size() > 1 ? std::sqrt(sq / double(v.size() - 1)) : 0;
            // Each reading stands for the time until the next (the range's last one too), the
            // range's own time ends at its last row, and no time counts beyond a limit across
            // a gap (10 s here).
            for (qint64 r = first; r <= last && r + 1 < table.count(); ++r) {
                double span = 0;
                const auto a = table.captured(r), b = table.captured(r + 1);
                if (a && b)
                    span = qMax<qint64>(0, a->msecsTo(*b)) / 1000.0;
                else if (!a && !b) {
                    const QTime ta =
                        QTime::fromString(table.text(r, MeasurementTable::FieldTime), "HH:mm:ss");
                    const QTime tb = QTime::fromString(
                        table.text(r + 1, MeasurementTable::FieldTime), "HH:mm:ss");
                    qint64 ms = ta.msecsTo(tb);
                    span = (ms < 0 ? ms + 86400000 : ms) / 1000.0;
                }
                if (r < last)
                    s.Seconds += span;
                if (span > 10)
                    continue;
                const auto x =
                    MeasurementTable::numberOf(table.text(r, MeasurementTable::FieldValue));
                if (x && *x > *high)
                    s.SecondsAbove += span;
                if (x && *x < *low)
                    s.SecondsBelow += span;
            }
            return s;
        };
        auto check = [&](const StatSummary &got, const StatSummary &want, const char *what) {
            const QByteArray w = what;
            QVERIFY2(got.Count == want.Count, w);
            QVERIFY2(got.MinRow == want.MinRow && got.MaxRow == want.MaxRow, w);
            QVERIFY2(got.Min == want.Min && got.Max == want.Max, w);
            QVERIFY2(std::abs(got.Mean - want.Mean) < 1e-9, w);
            QVERIFY2(std::abs(got.StdDev - want.StdDev) < 1e-9, w);
            QVERIFY2(std::abs(got.Seconds - want.Seconds) < 1e-6, w);
            QVERIFY2(std::abs(got.SecondsAbove - want.SecondsAbove) < 1e-6, w);
            QVERIFY2(std::abs(got.SecondsBelow - want.SecondsBelow) < 1e-6, w);
        };
        auto addRandom = [&](int n) {
            std::vector<MeasurementTable::Row> bulk;
            for (int i = 0; i < n; ++i) {
                // Now and then a gap (a pulled cable, a silent meter).
                t = t.addMSecs(random.bounded(40) == 0 ? random.bounded(10001, 90000)
                                                       : random.bounded(100, 5000));
                // A slow walk, so that the limits are crossed now and then.
                const QString v = values[int(random.bounded(values.size()))];
                MeasurementTable::Row row{qint32(table.count() + qint64(bulk.size()) + 1),
                                          t.toString("HH:mm:ss"), v, "#", t};
                if (random.bounded(3) == 0)
                    table.appendRow(row);
                else
                    bulk.push_back(row);
                if (bulk.size() > 500) {
                    table.appendRows(bulk);
                    bulk.clear();
                }
            }
            table.appendRows(bulk);
        };
        for (int round = 0; round < 3; ++round) {
            addRandom(12000 + int(random.bounded(9000)));
            check(stats.whole(), recount(0, table.count() - 1), "whole");
            for (int i = 0; i < 40; ++i) {
                const qint64 a = random.bounded(table.count()), b = random.bounded(table.count());
                check(stats.range(qMin(a, b), qMax(a, b)), recount(qMin(a, b), qMax(a, b)),
                      "range");
            }
            // Ranges that cut the table into pieces (days, pages) add up to the whole.
            std::vector<qint64> cuts{0, table.count()};
            for (int i = 0; i < 6; ++i)
                cuts.push_back(random.bounded(table.count()));
            std::sort(cuts.begin(), cuts.end());
            double above = 0, below = 0;
            for (size_t i = 0; i + 1 < cuts.size(); ++i) {
                const StatSummary piece = stats.range(cuts[i], cuts[i + 1] - 1);
                above += piece.SecondsAbove;
                below += piece.SecondsBelow;
            }
            QVERIFY(std::abs(above - stats.whole().SecondsAbove) < 1e-6);
            QVERIFY(std::abs(below - stats.whole().SecondsBelow) < 1e-6);
            // Pages of the chart: whole blocks and their edges.
            check(stats.range(4096, 8191), recount(4096, 8191), "block");
            check(stats.range(4095, 8192), recount(4095, 8192), "block edges");
            if (round == 1) {
                // Rows from a file: times of day only, across midnight.
                QByteArray bytes = DataFiles::textFileHeader(QDate(2026, 12, 9));
                DataFiles::appendTextRows(bytes, table, 0, table.count() - 1);
                table.clear();
                check(stats.whole(), recount(0, -1), "emptied");
                QCOMPARE(stats.whole().Count, 0);
                QCOMPARE(DataFiles::loadBytes(bytes, false, table), DataFiles::LoadStatus::Ok);
                QVERIFY(!table.captured(0));
                check(stats.whole(), recount(0, table.count() - 1), "loaded");
            }
        }
        // New limits count the table anew.
        stats.setLimits(22.0, std::nullopt);
        const StatSummary s = stats.whole();
        QVERIFY(s.SecondsAbove > 0);
        QCOMPARE(s.SecondsBelow, 0.0);
    }

    // Limits on a command line may carry their unit, both the same one.
    void alarmOptions_data()
    {
        QTest::addColumn<QString>("high");
        QTest::addColumn<QString>("low");
        QTest::addColumn<QString>("result"); // high/low/unit, or the error's first word
        QTest::newRow("bare") << "24"
                              << "21,5"
                              << "24/21.5/";
        QTest::newRow("celsius") << "24C"
                                 << "21"
                                 << "24/21/°C";
        QTest::newRow("degree sign") << "75.2°F"
                                     << "69.8 f"
                                     << "75.2/69.8/°F";
        QTest::newRow("negative") << "-5c"
                                  << "-20C"
                                  << "-5/-20/°C";
        QTest::newRow("two units") << "24C"
                                   << "60F"
                                   << "--high";
        QTest::newRow("a unit alone") << "C"
                                      << ""
                                      << "--high";
        QTest::newRow("another unit") << "24K"
                                      << ""
                                      << "--high";
    }
    void alarmOptions()
    {
        QFETCH(QString, high);
        QFETCH(QString, low);
        QFETCH(QString, result);
        AlarmSettings s;
        const QString wrong =
            readAlarmOptions(high, low.isEmpty() ? std::nullopt : std::optional<QString>(low),
                             std::nullopt, std::nullopt, s);
        QCOMPARE(wrong.isEmpty() ? QStringLiteral("%1/%2/%3")
                                       .arg(s.High.value_or(-999))
                                       .arg(s.Low.value_or(-999))
                                       .arg(s.Unit)
                                 : wrong.section(' ', 0, 0),
                 result);
    }

    // Rows worked out afterwards (restored, loaded, files joined out of order) give what the
    // live rules give over the same readings in time order, and no alarm ends before it
    // starts, whatever order the rows are stored in.
    void replayedRowsInAnyOrder()
    {
        QRandomGenerator rng(4711);
        for (int round = 0; round < 40; ++round) {
            MeasurementTable table;
            const int n = 50 + rng.bounded(400);
            std::vector<qint64> times;
            const qint64 t0 = 1796000000000;
            double v = 22;
            for (int i = 0; i < n; ++i) {
                times.push_back(t0 + i * 1000);
                v += rng.bounded(2.0) - 1.0;
                const bool dashes = rng.bounded(30) == 0;
                const bool fahrenheit = rng.bounded(4) == 0;
                const double shown = fahrenheit ? v * 9 / 5 + 32 : v;
                table.appendRow({i + 1, "12:00:00",
                                 dashes ? QStringLiteral("----") : QString::number(shown, 'f', 1),
                                 fahrenheit ? "?" : "#", std::nullopt});
            }
            // Stored in runs out of order, as files joined in the wrong order are.
            std::vector<qint64> stored = times;
            const int cut = 1 + rng.bounded(n - 1);
            std::rotate(stored.begin(), stored.begin() + cut, stored.end());
            MeasurementTable shuffled;
            for (int i = 0; i < n; ++i)
                shuffled.appendRow(table.row((i + cut) % n));
            AlarmSettings s;
            s.High = 23;
            s.Low = 20;
            s.Unit = QStringLiteral("°C");
            s.HoldSeconds = rng.bounded(5);
            const QList<AlarmEvent> replayed = replayAlarms(
                shuffled, 0, n - 1, [&](qint64 r) { return stored[size_t(r)]; }, {{0, s}}, 0, true);
            AlarmRules live;
            live.setSettings(s);
            ValueNumbers values;
            QList<AlarmEvent> expected;
            AlarmMoment m;
            for (int i = 0; i < n; ++i) {
                m = {QDateTime::fromMSecsSinceEpoch(times[size_t(i)]), times[size_t(i)]};
                expected += live.feed(
                    m, values.value(table, i),
                    MeasurementTable::unitName(table.text(i, MeasurementTable::FieldUnit)));
            }
            live.closeAtEnd(expected, m);
            QCOMPARE(replayed.size(), expected.size());
            for (qsizetype i = 0; i < replayed.size(); ++i) {
                const AlarmEvent &a = replayed[i], &b = expected[i];
                QVERIFY(a.Recomputed);
                QCOMPARE(a.Unit, QStringLiteral("°C"));
                QCOMPARE(describe(a), describe(b));
                QCOMPARE(a.BreachStart.toMSecsSinceEpoch(), b.BreachStart.toMSecsSinceEpoch());
                QCOMPARE(a.OpenAtEnd, b.OpenAtEnd);
                QVERIFY2(a.BreachStart <= a.Time, qPrintable(describe(a)));
                QVERIFY(a.Seconds >= 0);
            }
        }
    }

    // Rows worked out afterwards with the limits changing now and then and gaps in the
    // readings: every alarm starts on a reading whose limits in force it breaks, gives those
    // limits, never runs across a gap (it ends at the last reading before one), and an
    // alarm's end is never before its start. The limits' text reads back as the same limits.
    void limitsInForceAndGaps()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator rng(seed);
        for (int round = 0; round < 60; ++round) {
            MeasurementTable table;
            const int n = 100 + rng.bounded(500);
            std::vector<qint64> times;
            qint64 t = 1796000000000;
            double v = 22;
            for (int i = 0; i < n; ++i) {
                t += rng.bounded(25) == 0 ? 11000 + rng.bounded(600000) : 1000;
                times.push_back(t);
                v += rng.bounded(2.0) - 1.0;
                table.appendRow(
                    {i + 1, "12:00:00",
                     rng.bounded(40) == 0 ? QStringLiteral("----") : QString::number(v, 'f', 1),
                     "#", std::nullopt});
            }
            LimitsHistory history;
            for (qint64 from = rng.bounded(n / 2); from < n; from += 1 + rng.bounded(n / 3)) {
                AlarmSettings s;
                if (rng.bounded(4) != 0)
                    s.High = 20 + rng.bounded(60) / 10.0;
                if (rng.bounded(3) == 0)
                    s.Low = 14 + rng.bounded(50) / 10.0;
                s.HoldSeconds = rng.bounded(4);
                s.Hysteresis = rng.bounded(10) / 10.0;
                if (s.any()) // a unit is said with a limit
                    s.Unit = QStringLiteral("°C");
                QCOMPARE(AlarmSettings::fromText(s.text()), std::optional<AlarmSettings>(s));
                history.push_back({from, s});
            }
            const auto timeOf = [&](qint64 r) { return times[size_t(r)]; };
            const QList<AlarmEvent> events =
                replayAlarms(table, 0, n - 1, timeOf, history, 10, true);
            const auto rowAt = [&](const QDateTime &when) {
                const auto it =
                    std::lower_bound(times.begin(), times.end(), when.toMSecsSinceEpoch());
                return it != times.end() && *it == when.toMSecsSinceEpoch()
                           ? qint64(it - times.begin())
                           : qint64(-1);
            };
            for (const AlarmEvent &e : events) {
                const QString what = describe(e);
                const qint64 began = rowAt(e.BreachStart), at = rowAt(e.Time);
                QVERIFY2(began >= 0 && at >= began, qPrintable(what));
                QVERIFY2(began >= history.front().FromRow, qPrintable(what));
                // Nothing between its start and this event is a gap.
                for (qint64 r = began; r < at; ++r)
                    QVERIFY2(times[size_t(r + 1)] - times[size_t(r)] <= 10000, qPrintable(what));
                if (e.Start && e.Kind != AlarmKind::NoReading) {
                    const AlarmSettings &s = limitsAt(history, at);
                    const std::optional<double> limit = e.Kind == AlarmKind::High ? s.High : s.Low;
                    QVERIFY2(limit && e.Limit && *e.Limit == *limit, qPrintable(what));
                    const std::optional<double> value =
                        MeasurementTable::numberOf(table.text(began, MeasurementTable::FieldValue));
                    QVERIFY2(value, qPrintable(what));
                    // The breach began on a reading beyond the limits then in force.
                    const AlarmSettings &then = limitsAt(history, began);
                    QVERIFY2(e.Kind == AlarmKind::High ? then.High && *value > *then.High
                                                       : then.Low && *value < *then.Low,
                             qPrintable(what));
                }
            }
            // The limits' history over a row range, and back.
            const qint64 a = rng.bounded(n), b = a + rng.bounded(n - a);
            const LimitsHistory inside{{0, history.back().Settings}};
            const LimitsHistory both = overlaid(history, a, b, inside);
            for (qint64 r = 0; r < n + 2; ++r)
                QVERIFY(limitsAt(both, r) ==
                        (r >= a && r <= b ? history.back().Settings : limitsAt(history, r)));
        }
        QVERIFY(!AlarmSettings::fromText("high 30 °C, low none, hold x s, hysteresis 0.5"));
        QVERIFY(!AlarmSettings::fromText("a note"));
    }

    // The log names the cable of each alarm, so that loggers of several cables may share it;
    // a log begun without that column goes on as it began; a saved log has it.
    void alarmLogNamesTheCable()
    {
        QTemporaryDir dir;
        AlarmEvent start;
        start.Kind = AlarmKind::High;
        start.Start = true;
        start.BreachStart =
            QDateTime::fromString("2026-12-09T14:03:07.000+01:00", Qt::ISODateWithMs);
        start.Value = 31.5;
        start.Limit = 30;
        AlarmEvent end = start;
        end.Start = false;
        end.Time = start.BreachStart.addSecs(60);
        end.Seconds = 60;
        const QString shared = dir.filePath("alarm-log.txt");
        {
            AlarmLog a, b;
            QVERIFY(a.open(shared) && b.open(shared));
            a.setCable("A1");
            b.setCable("1-1.3");
            QVERIFY(a.add(start, "\u00B0C") && b.add(start, "\u00B0F") && a.add(end, "\u00B0C"));
        }
        QFile f(shared);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines[0] + '\n', AlarmLog::header());
        QVERIFY(lines[0].endsWith("\tunit\tcable"));
        QVERIFY(lines[1].startsWith("start\thigh\t") && lines[1].endsWith("\t\u00B0C\tA1"));
        QVERIFY(lines[2].endsWith("\t\u00B0F\t1-1.3"));
        QVERIFY(lines[3].startsWith("end\thigh\t") && lines[3].endsWith("\tA1"));
        for (int i = 1; i <= 3; ++i)
            QCOMPARE(lines[i].count('\t'), lines[0].count('\t'));
        // An older log: its lines keep its columns.
        const QString old = dir.filePath("old.txt");
        QFile o(old);
        QVERIFY(o.open(QIODevice::WriteOnly) && o.write(AlarmLog::header(false)) > 0);
        o.close();
        {
            AlarmLog a;
            QVERIFY(a.open(old));
            a.setCable("A1");
            QVERIFY(a.add(start, "\u00B0C"));
            QString why;
            QVERIFY(a.saveAs(dir.filePath("saved.txt"), &why));
        }
        QVERIFY(o.open(QIODevice::ReadOnly));
        lines = o.readAll().split('\n');
        QCOMPARE(lines[1].count('\t'), lines[0].count('\t'));
        QVERIFY(lines[1].endsWith("\t\u00B0C"));
        QFile saved(dir.filePath("saved.txt"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().endsWith("\t\u00B0C\tA1\n"));
    }
};

QTEST_GUILESS_MAIN(tst_Alarms)
#include "tst_Alarms.moc"
