// The metrics against the real thing: promtool finds nothing to say about what a running
// logger serves and writes, a real Prometheus server started here scrapes it and answers a
// query for its temperature, and the server stays bounded: nothing but GET /metrics is
// answered, a request too large or too slow is dropped, and a crowd of clients never holds up
// the logging. The demo build is run, as a user would run the program.

#include "common/LocalBroker.h"
#include "common/Wait.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <optional>

class tst_Metrics : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    struct Logger
    {
        QProcess process;
        int port = 0;
        QString file, metrics;
    };
    // A logger of the simulated meter serving its metrics and writing them to a file.
    std::unique_ptr<Logger> start(const QString &name, const QStringList &extra = {})
    {
        auto l = std::make_unique<Logger>();
        l->port = freePort();
        l->file = dir.filePath(name + ".txt");
        l->metrics = dir.filePath(name + ".prom");
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_STATE_HOME", dir.filePath("state-" + name));
        l->process.setProcessEnvironment(e);
        l->process.start(TX9_DEMO, QStringList{"--headless", "--interval", "0", "-q", "-o", l->file,
                                               "--metrics-listen",
                                               QStringLiteral("127.0.0.1:%1").arg(l->port),
                                               "--metrics-file", l->metrics} +
                                       extra);
        l->process.waitForStarted();
        return l;
    }
    // One request on a connection of its own; the answer, or empty when the server closed.
    static QByteArray ask(int port, const QByteArray &request, int ms = 5000)
    {
        QTcpSocket s;
        s.connectToHost("127.0.0.1", quint16(port));
        if (!s.waitForConnected(ms))
            return {};
        s.write(request);
        QByteArray answer;
        QElapsedTimer t;
        t.start();
        while (s.state() == QAbstractSocket::ConnectedState && t.elapsed() < ms) {
            s.waitForReadyRead(100);
            answer += s.readAll();
        }
        return answer + s.readAll();
    }
    static int promtool(const QByteArray &text, QString *said)
    {
        QProcess p;
        p.start("promtool", {"check", "metrics"});
        p.write(text);
        p.closeWriteChannel();
        p.waitForFinished(30000);
        *said = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitCode();
    }

    // The value of a series of text (its name and labels up to the closing brace), if there.
    static std::optional<double> value(const QByteArray &text, const QByteArray &series)
    {
        for (const QByteArray &line : text.split('\n'))
            if (line.startsWith(series) && line.size() > series.size() &&
                line[series.size()] == ' ')
                return line.mid(series.size() + 1).toDouble();
        return std::nullopt;
    }
    // The retained message of a topic, as a late subscriber meets it.
    static QJsonObject retained(int port, const QString &topic)
    {
        QProcess sub;
        sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(port), "-t", topic,
                                    "-C", "1", "-W", "3"});
        sub.waitForFinished(10000);
        return QJsonDocument::fromJson(sub.readAllStandardOutput()).object();
    }

private slots:
    // One logger through a cable loss and back, then stopped: at each step the metrics (served
    // and in their file), MQTT's retained diagnostics and alarm, and the labels agree. The
    // labels never change; the temperature is absent while the cable is away; the file of the
    // stopped logger says tx9_up 0 with no temperature and every alarm ended.
    void everyFaceAgrees()
    {
        LocalBroker broker(dir.filePath("broker-faces"));
        QVERIFY(broker.start());
        auto l = start("faces", {"--mqtt", broker.url(), "--mqtt-id", "f1", "--unplug-after", "4",
                                 "--replug-after", "12"});
        const QByteArray labels = "{logger=\"f1\",cable=\"/sim/hidraw-usb-serial\"";
        auto served = [&] {
            const QByteArray a = ask(l->port, "GET /metrics HTTP/1.1\r\n\r\n");
            return a.mid(a.indexOf("\r\n\r\n") + 4);
        };
        auto step = [&](const char *name, bool cable) {
            QByteArray text;
            const QByteArray connected = "tx9_cable_connected" + labels + '}';
            const QByteArray lost = "tx9_alarm_active" + labels + ",alarm=\"cable lost\"}";
            QVERIFY2(
                waitUntil(
                    [&] {
                        text = served();
                        // Connected, a reading is on its way (the first since): the
                        // temperature comes with it.
                        return value(text, connected) == (cable ? 1 : 0) &&
                               value(text, lost) == (cable ? 0 : 1) &&
                               value(text, "tx9_temperature_celsius" + labels + '}').has_value() ==
                                   cable;
                    },
                    20000),
                qPrintable(name + QString(":\n") + text));
            QVERIFY(value(text, "tx9_up" + labels + '}') == 1);
            // Every series under the same labels, at every step.
            for (const QByteArray &line : text.split('\n'))
                QVERIFY2(line.isEmpty() || line.startsWith('#') || line.contains(labels),
                         line.constData());
            const QJsonObject diagnostics = retained(broker.port, "tx9-logger/f1/diagnostics");
            QCOMPARE(diagnostics.value("cable_connected").toBool(), cable);
            QCOMPARE(diagnostics.value("cable").toString(), "/sim/hidraw-usb-serial");
            const QJsonObject alarm = retained(broker.port, "tx9-logger/f1/alarm");
            QCOMPARE(alarm.value("active").toArray().contains("cable lost"), !cable);
            qInfo("%s: cable_connected %d, MQTT cable_connected %s, alarm %s", name, cable,
                  cable ? "true" : "false", alarm.value("state").toString().toUtf8().constData());
        };
        for (const auto &[name, cable] :
             {std::pair{"connected", true}, {"cable pulled", false}, {"cable back", true}}) {
            step(name, cable);
            if (QTest::currentTestFailed())
                return;
        }
        l->process.terminate();
        QVERIFY(l->process.waitForFinished(20000));
        QFile f(l->metrics);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray last = f.readAll();
        QCOMPARE(value(last, "tx9_up" + labels + '}'), 0.0);
        QVERIFY2(!value(last, "tx9_temperature_celsius" + labels + '}'), last.constData());
        QCOMPARE(value(last, "tx9_cable_connected" + labels + '}'), 0.0);
        QVERIFY(value(last, "tx9_metrics_updated_timestamp_seconds" + labels + '}') > 0);
        QString said;
        QCOMPARE(promtool(last, &said), 0);
        QVERIFY2(said.trimmed().isEmpty(), qPrintable(said));
    }

    // Every series, with publishing: promtool finds nothing to say, served or written.
    void promtoolFindsNothing()
    {
        LocalBroker broker(dir.filePath("broker"));
        QVERIFY(broker.start());
        auto l = start("lint", {"--mqtt", broker.url(), "--mqtt-id", "m1", "--high", "0"});
        QVERIFY(waitUntil([&] { return QFile(l->file).size() > 80; }, 20000));
        QTest::qWait(1500);
        const QByteArray answer = ask(l->port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY2(answer.startsWith("HTTP/1.1 200 OK\r\n"), answer.constData());
        QVERIFY(answer.contains("Content-Type: text/plain; version=0.0.4"));
        const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
        for (const char *series :
             {"tx9_temperature_celsius{logger=\"m1\",cable=\"/sim/hidraw-usb-serial\"} ",
              "tx9_reading_timestamp_seconds{", "tx9_readings_stored_total{",
              "tx9_readings_without_value_total{",
              "tx9_cable_connected{logger=\"m1\",cable=\"/sim/hidraw-usb-serial\"} 1",
              "tx9_meter_silent{",
              "tx9_alarm_active{logger=\"m1\",cable=\"/sim/hidraw-usb-serial\",alarm=\"high\"} 1",
              "tx9_mqtt_connected{logger=\"m1\",cable=\"/sim/hidraw-usb-serial\"} 1",
              "tx9_outbox_messages{", "tx9_journal_writable{",
              "tx9_build_info{logger=\"m1\",cable=\"/sim/hidraw-usb-serial\",version=\"",
              "tx9_up{logger=\"m1\",cable=\"/sim/hidraw-usb-serial\"} 1",
              "tx9_metrics_updated_timestamp_seconds{"})
            QVERIFY2(body.contains(series), series);
        QString said;
        QCOMPARE(promtool(body, &said), 0);
        QVERIFY2(said.trimmed().isEmpty(), qPrintable(said));
        QFile written(l->metrics);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(promtool(written.readAll(), &said), 0);
        QVERIFY2(said.trimmed().isEmpty(), qPrintable(said));
        l->process.terminate();
        QVERIFY(l->process.waitForFinished(20000));
    }

    // A real Prometheus server scrapes the logger and answers a query for its temperature:
    // the last reading of its file, in °C.
    void prometheusScrapes()
    {
        auto l = start("scraped");
        const int web = freePort();
        const QString config = dir.filePath("prometheus.yml");
        QFile c(config);
        QVERIFY(c.open(QIODevice::WriteOnly));
        c.write(QStringLiteral("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                               "scrape_configs:\n  - job_name: tx9\n    static_configs:\n"
                               "      - targets: ['127.0.0.1:%1']\n")
                    .arg(l->port)
                    .toUtf8());
        c.close();
        QProcess prometheus;
        prometheus.start("prometheus",
                         {"--config.file=" + config, "--storage.tsdb.path=" + dir.filePath("tsdb"),
                          QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(web)});
        QVERIFY(prometheus.waitForStarted());
        QJsonObject result;
        const bool answered = waitUntil(
            [&] {
                const QByteArray a = ask(web, "GET /api/v1/query?query=tx9_temperature_celsius "
                                              "HTTP/1.0\r\nHost: x\r\n\r\n");
                const QJsonArray r = QJsonDocument::fromJson(a.mid(a.indexOf("\r\n\r\n") + 4))
                                         .object()
                                         .value("data")
                                         .toObject()
                                         .value("result")
                                         .toArray();
                if (r.isEmpty())
                    return false;
                result = r.first().toObject();
                return true;
            },
            60000);
        prometheus.terminate();
        prometheus.waitForFinished(10000);
        QVERIFY2(answered, prometheus.readAllStandardError().right(2000).constData());
        QCOMPARE(result.value("metric").toObject().value("job").toString(), "tx9");
        QCOMPARE(result.value("metric").toObject().value("cable").toString(),
                 "/sim/hidraw-usb-serial");
        const double scraped = result.value("value").toArray().at(1).toString().toDouble();
        // Among the readings the file holds (the meter walks about 23.5 °C).
        QFile f(l->file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        bool seen = false;
        for (const QByteArray &line : f.readAll().split('\n'))
            seen = seen || (line.split('\t').size() >= 3 &&
                            qAbs(line.split('\t')[2].trimmed().toDouble() - scraped) < 1e-9);
        QVERIFY2(seen, qPrintable(QString::number(scraped)));
        l->process.terminate();
        QVERIFY(l->process.waitForFinished(20000));
    }

    // Only GET /metrics; a request over 4 KiB or slower than 3 s dropped; 200 clients at once
    // never hold up the logging (rows go on arriving in its file) and each one that is
    // served gets whole metrics; then as many requests one after the other as 2 s allow.
    void boundedServer()
    {
        auto l = start("bounded");
        QVERIFY(waitUntil([&] { return QFile(l->file).size() > 60; }, 20000));
        QVERIFY(ask(l->port, "GET /other HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404"));
        QVERIFY(ask(l->port, "POST /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 405"));
        QVERIFY(ask(l->port, "junk\r\n\r\n").startsWith("HTTP/1.1 400"));
        QVERIFY(ask(l->port, "GET /metrics HTTP/1.1\r\n" + QByteArray(5000, 'x')).isEmpty());
        QElapsedTimer slow;
        slow.start();
        QVERIFY(ask(l->port, "GET /metrics HTTP/1.1\r\n", 6000).isEmpty()); // never finished
        QVERIFY(slow.elapsed() >= 2500 && slow.elapsed() < 5500);

        const qint64 before = QFile(l->file).size();
        std::vector<std::unique_ptr<QTcpSocket>> crowd;
        for (int i = 0; i < 200; ++i) {
            crowd.push_back(std::make_unique<QTcpSocket>());
            crowd.back()->connectToHost("127.0.0.1", quint16(l->port));
        }
        QTest::qWait(500);
        for (auto &s : crowd)
            s->write("GET /metrics HTTP/1.1\r\n\r\n");
        QTest::qWait(3000);
        int whole = 0;
        for (auto &s : crowd) {
            const QByteArray a = s->readAll();
            whole +=
                a.startsWith("HTTP/1.1 200") && a.endsWith(",version=\"" TX9_VERSION "\"} 1\n");
        }
        QVERIFY(whole >= 1);
        QVERIFY2(QFile(l->file).size() > before, "no rows while the crowd was there");
        crowd.clear();
        QElapsedTimer t;
        t.start();
        int served = 0;
        while (t.elapsed() < 2000)
            served += ask(l->port, "GET /metrics HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200");
        qInfo("metrics: %d of 200 clients at once served whole; %.0f requests a second one after "
              "the other",
              whole, served / (double(t.elapsed()) / 1000));
        QVERIFY(served > 20);
        l->process.terminate();
        QVERIFY(l->process.waitForFinished(20000));
    }
};

QTEST_GUILESS_MAIN(tst_Metrics)
#include "tst_Metrics.moc"
