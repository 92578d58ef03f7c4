// The metrics against the real thing: promtool finds nothing to say about what a running
// logger serves and writes, a real Prometheus server started here scrapes it and answers a
// query for its temperature, and the server stays bounded: nothing but GET /metrics is
// answered, a request too large or too slow is dropped, and a crowd of clients never holds up
// the logging. The demo build is run, as a user would run the program.

#include "common/LocalBroker.h"
#include "common/Wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
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

    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // A real Prometheus server scraping one logger each second.
    struct Prometheus
    {
        QString Folder;
        int Target = 0, Web = 0;
        QProcess Process;
        Prometheus(const QString &folder, int target) : Folder(folder), Target(target) {}
        ~Prometheus()
        {
            Process.terminate();
            Process.waitForFinished(10000);
        }
        bool start()
        {
            QDir().mkpath(Folder);
            Web = freePort();
            QFile c(Folder + "/prometheus.yml");
            if (!c.open(QIODevice::WriteOnly))
                return false;
            c.write(QStringLiteral("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                   "scrape_configs:\n  - job_name: tx9\n    static_configs:\n"
                                   "      - targets: ['127.0.0.1:%1']\n")
                        .arg(Target)
                        .toUtf8());
            c.close();
            Process.start("prometheus",
                          {"--config.file=" + c.fileName(),
                           "--storage.tsdb.path=" + Folder + "/tsdb",
                           QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(Web)});
            return Process.waitForStarted();
        }
        // The first result of an instant query: its labels and value; empty when none.
        QJsonObject result(const QString &expression) const
        {
            const QByteArray a =
                ask(Web, "GET /api/v1/query?query=" + QUrl::toPercentEncoding(expression) +
                             " HTTP/1.0\r\nHost: x\r\n\r\n");
            const QJsonArray r = QJsonDocument::fromJson(a.mid(a.indexOf("\r\n\r\n") + 4))
                                     .object()
                                     .value("data")
                                     .toObject()
                                     .value("result")
                                     .toArray();
            return r.isEmpty() ? QJsonObject() : r.first().toObject();
        }
        std::optional<double> query(const QString &expression) const
        {
            const QJsonObject r = result(expression);
            if (r.isEmpty())
                return std::nullopt;
            return r.value("value").toArray().at(1).toString().toDouble();
        }
    };
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
    // One logger through a breach of its high limit, a cable loss and back, then stopped: at
    // each step every face says the same: the metrics (served, checked by promtool, and as a
    // real Prometheus scraped them), MQTT's retained diagnostics and alarm, and the labels,
    // which never change. The temperature is absent while the cable is away. The alarm log and
    // the --on-alarm command saw the same events in the same order; the file of the stopped
    // logger says tx9_up 0 with no temperature and every alarm off.
    void everyFaceAgrees()
    {
        LocalBroker broker(dir.filePath("broker-faces"));
        QVERIFY(broker.start());
        const QString events = dir.filePath("faces-events");
        auto l = start("faces",
                       {"--mqtt", broker.url(), "--mqtt-id", "f1", "--high", "29C", "--breach-at",
                        "15", "--unplug-after", "50", "--replug-after", "58", "--on-alarm",
                        "echo \"$TX9_STATE|$TX9_ALARM|$TX9_DETAIL\" >> " + events});
        Prometheus prometheus(dir.filePath("prometheus-faces"), l->port);
        QVERIFY(prometheus.start());
        const QByteArray labels = "{logger=\"f1\",cable=\"/sim/hidraw-usb-serial\"";
        auto served = [&] {
            const QByteArray a = ask(l->port, "GET /metrics HTTP/1.1\r\n\r\n");
            return a.mid(a.indexOf("\r\n\r\n") + 4);
        };
        struct Step
        {
            const char *Name;
            bool Cable, High;
        };
        const QByteArray connected = "tx9_cable_connected" + labels + '}',
                         lost = "tx9_alarm_active" + labels + ",alarm=\"cable lost\"}",
                         high = "tx9_alarm_active" + labels + ",alarm=\"high\"}",
                         temperature = "tx9_temperature_celsius" + labels + '}';
        for (const Step &step :
             {Step{"connected", true, false}, Step{"breach", true, true},
              Step{"breach over", true, false}, Step{"cable pulled", false, false},
              Step{"cable back", true, false}}) {
            QByteArray text;
            QVERIFY2(waitUntil(
                         [&] {
                             // Connected, a reading is on its way (the first since): the
                             // temperature comes with it.
                             text = served();
                             return value(text, connected) == (step.Cable ? 1 : 0) &&
                                    value(text, lost) == (step.Cable ? 0 : 1) &&
                                    value(text, high) == (step.High ? 1 : 0) &&
                                    value(text, temperature).has_value() == step.Cable;
                         },
                         60000),
                     qPrintable(step.Name + QString(":\n") + text));
            // Every series under the same labels, at every step; promtool content.
            for (const QByteArray &line : text.split('\n'))
                QVERIFY2(line.isEmpty() || line.startsWith('#') || line.contains(labels),
                         line.constData());
            QString said;
            QCOMPARE(promtool(text, &said), 0);
            QVERIFY2(said.trimmed().isEmpty(), qPrintable(said));
            // As Prometheus scraped it.
            QVERIFY2(waitUntil(
                         [&] {
                             return prometheus.query("tx9_cable_connected") ==
                                        (step.Cable ? 1 : 0) &&
                                    prometheus.query("tx9_alarm_active{alarm=\"high\"}") ==
                                        (step.High ? 1 : 0);
                         },
                         15000),
                     step.Name);
            // MQTT, as a late subscriber meets it.
            const QJsonObject diagnostics = retained(broker.port, "tx9-logger/f1/diagnostics");
            QCOMPARE(diagnostics.value("cable_connected").toBool(), step.Cable);
            QCOMPARE(diagnostics.value("cable").toString(), "/sim/hidraw-usb-serial");
            const QJsonArray active =
                retained(broker.port, "tx9-logger/f1/alarm").value("active").toArray();
            QCOMPARE(active.contains("cable lost"), !step.Cable);
            QCOMPARE(active.contains("high"), step.High);
            qInfo("%s: metrics cable_connected %d, high %d, cable lost %d, temperature %s; "
                  "Prometheus the same; MQTT cable_connected %s, active %s",
                  step.Name, step.Cable, step.High, !step.Cable, step.Cable ? "on" : "absent",
                  step.Cable ? "true" : "false",
                  QJsonDocument(active).toJson(QJsonDocument::Compact).constData());
            if (QTest::currentTestFailed())
                return;
        }
        l->process.terminate();
        QVERIFY(l->process.waitForFinished(20000));
        QFile f(l->metrics);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray last = f.readAll();
        QCOMPARE(value(last, "tx9_up" + labels + '}'), 0.0);
        QVERIFY2(!value(last, temperature), last.constData());
        QCOMPARE(value(last, connected), 0.0);
        QVERIFY(
            !QString::fromUtf8(last).contains(QRegularExpression("tx9_alarm_active\\{.*\\} 1")));
        QVERIFY(value(last, "tx9_metrics_updated_timestamp_seconds" + labels + '}') > 0);
        QString said;
        QCOMPARE(promtool(last, &said), 0);
        QVERIFY2(said.trimmed().isEmpty(), qPrintable(said));
        // The alarm log and the command: the same events, in the same order.
        QStringList logged;
        QFile log(dir.filePath("faces-alarms.txt"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        for (const QByteArray &line : log.readAll().split('\n'))
            if (const QList<QByteArray> f = line.split('\t');
                f.size() > 2 && (f[0] == "start" || f[0] == "end"))
                logged << QString::fromUtf8(f[0] + '|' + f[1]);
        const QStringList expected{"start|high", "end|high", "start|cable lost", "end|cable lost"};
        QCOMPARE(logged, expected);
        QStringList commanded;
        QVERIFY(waitUntil(
            [&] {
                commanded.clear();
                for (const QString &line : QString::fromUtf8(read(events)).split('\n'))
                    if (!line.isEmpty())
                        commanded << line.section('|', 0, 1);
                return commanded.size() >= expected.size();
            },
            10000));
        QCOMPARE(commanded, expected);
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
        Prometheus prometheus(dir.filePath("prometheus-scraped"), l->port);
        QVERIFY(prometheus.start());
        QJsonObject result;
        const bool answered = waitUntil(
            [&] {
                result = prometheus.result("tx9_temperature_celsius");
                return !result.isEmpty();
            },
            60000);
        QVERIFY2(answered, prometheus.Process.readAllStandardError().right(2000).constData());
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
