// bench_mqtt [ROWS] [IDLE_SECONDS]: publishing to a local broker (mosquitto, started here on a
// free port of 127.0.0.1).
// - An outbox of ROWS readings (default 1,000,000), as an outage of a week would leave it,
//   delivered when the broker is there: rows per second at QoS 1 and the time to empty it.
// - A connected logger at 2 readings a second for IDLE_SECONDS (default 20): its CPU as a
//   share of one core, beside the same process storing the same rows without publishing.

#include "BenchUtil.h"
#include "mqtt/MqttPublisher.h"
#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"
#include "tests/common/LocalBroker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

namespace {

struct NoSettings : LoggerSession::Settings
{
    bool recallData() const override { return false; }
    bool recordSI() const override { return false; }
    bool repeatSet() const override { return true; }
    QString intervalText() const override { return QStringLiteral("0"); }
    bool connectWanted() const override { return false; }
    int chosenRow() const override { return -1; }
};

void runFor(int ms, const std::function<bool()> &done = {})
{
    QEventLoop loop;
    if (!done) {
        // Nothing of the bench's own wakes the process meanwhile.
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        return;
    }
    QTimer poll;
    QElapsedTimer t;
    t.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if ((done && done()) || t.elapsed() >= ms)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
}

// One stored row, as the engine stores it, told to the session's subscribers.
void storeRow(LoggerSession &session, qint32 no)
{
    const QDateTime now = QDateTime::currentDateTime();
    session.table().appendRow({no, now.time().toString(QStringLiteral("hh:mm:ss")),
                               QString::number(20.0 + (no % 50) / 10.0, 'f', 1),
                               QStringLiteral("#"), now});
    emit session.engine().rowStored(session.table().count() - 1, no, 20.0f, now);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 rows = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1'000'000;
    const int idleSeconds = argc > 2 ? QByteArray(argv[2]).toInt() : 20;
    QTemporaryDir dir;
    LocalBroker broker(dir.path());
    if (!broker.start()) {
        std::fprintf(stderr, "bench_mqtt: mosquitto does not start (scripts/deps.sh)\n");
        return 1;
    }
    const int port = broker.port;
    Mqtt::Options o;
    o.Url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
    o.Host = QStringLiteral("127.0.0.1");
    o.Port = port;
    o.Id = QStringLiteral("bench");

    // The outbox an outage left: filled through a session that is not connected.
    {
        NoSettings settings;
        LoggerSession session(settings, dir.path());
        Mqtt::Options away = o;
        away.Port = freePort(); // nobody listens there
        MqttPublisher publisher(away, session);
        QString error;
        if (!publisher.start({}, &error)) {
            std::fprintf(stderr, "bench_mqtt: %s\n", qPrintable(error));
            return 1;
        }
        const double c0 = Bench::cpuSeconds();
        QElapsedTimer t;
        t.start();
        for (qint64 i = 0; i < rows; ++i) {
            storeRow(session, qint32(i % 2'000'000'000 + 1));
            if (i % 65536 == 0)
                session.table().clear(); // the table is not what is measured
        }
        Bench::print("outbox_fill_rows_per_s", double(rows) / (double(t.nsecsElapsed()) / 1e9),
                     "rows/s");
        Bench::print("outbox_fill_cpu_us_per_row", (Bench::cpuSeconds() - c0) * 1e6 / double(rows),
                     "us");
        publisher.close(0);
    }

    // Delivered once the broker is back.
    {
        NoSettings settings;
        LoggerSession session(settings, dir.path());
        MqttPublisher publisher(o, session);
        QString error;
        QElapsedTimer t;
        t.start();
        const double c0 = Bench::cpuSeconds();
        if (!publisher.start({}, &error)) {
            std::fprintf(stderr, "bench_mqtt: %s\n", qPrintable(error));
            return 1;
        }
        const quint64 queued = publisher.queued();
        runFor(600'000, [&] { return publisher.queued() == 0; });
        const double s = double(t.nsecsElapsed()) / 1e9;
        Bench::print("outbox_rows", double(queued), "rows");
        Bench::print("outbox_empty_after", s, "s");
        Bench::print("outbox_delivery_rows_per_s", double(queued) / s, "rows/s");
        Bench::print("outbox_delivery_cpu_us_per_row",
                     (Bench::cpuSeconds() - c0) * 1e6 / double(queued), "us");
        Bench::print("outbox_left", double(publisher.queued()), "rows");

        // Connected and idle at 2 readings a second, beside the same without publishing.
        auto idle = [&](bool publishing) {
            NoSettings s2;
            LoggerSession quiet(s2, dir.filePath(QStringLiteral("quiet")));
            LoggerSession &target = publishing ? session : quiet;
            qint32 no = 0;
            QTimer tick;
            QObject::connect(&tick, &QTimer::timeout, [&] { storeRow(target, ++no); });
            tick.start(500);
            const double c1 = Bench::cpuSeconds();
            QElapsedTimer w;
            w.start();
            runFor(idleSeconds * 1000);
            return (Bench::cpuSeconds() - c1) / (double(w.nsecsElapsed()) / 1e9) * 100.0;
        };
        Bench::print("idle_cpu_percent_without_publishing", idle(false), "%");
        Bench::print("idle_cpu_percent_publishing", idle(true), "%");
        Bench::print("idle_left", double(publisher.queued()), "rows");
        publisher.close();
    }
    return 0;
}
