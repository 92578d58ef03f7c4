// What a headless run gives beyond its data file: the readings published to an MQTT broker,
// the limit alarms (lines, their log beside the data, the --on-alarm command, the alarm topic)
// and the statistics at the end.

#include "headless/Headless.h"

#include "headless/AlarmCommands.h"

#include "alarms/AlarmMonitor.h"
#include "alarms/DesktopNotifier.h"
#include "alarms/Statistics.h"
#include "mqtt/MqttPublisher.h"
#include "output/SafeFile.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"
#include "usb/HidControllerClass.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTimer>

using namespace Headless;

bool HeadlessRun::startPublishing()
{
    if (!m_options.Mqtt)
        return true;
    m_publisher = new MqttPublisher(*m_options.Mqtt, m_session, this);
    connect(m_publisher, &MqttPublisher::said, this,
            [this](const QString &line, bool problem) { problem ? warn(line) : say(line); });
    connect(m_publisher, &MqttPublisher::refused, this, [this] {
        // Wrong credentials or a certificate that does not verify will not mend themselves:
        // a run that never got through stops at once. Once it has been connected, the
        // broker's configuration may have changed under it: it goes on trying.
        if (!m_publisher->everConnected())
            QTimer::singleShot(0, this, [this] { stop(MqttRefused); });
    });
    // Another logger publishing under the same id (another machine): after three takeovers
    // within ten minutes the run ends, its readings kept in its file and outbox.
    connect(m_publisher, &MqttPublisher::idInUse, this,
            [this] { QTimer::singleShot(0, this, [this] { stop(MqttRefused); }); });
    QString error;
    if (!m_publisher->start(m_engine.Devices[m_row]->SerialString(), &error)) {
        warn(error);
        finish(MqttRefused);
        return false;
    }
    return true;
}

void HeadlessRun::startAlarms()
{
    m_stats = new TableStatistics(*m_table, this);
    m_stats->setLimits(m_options.High, m_options.Low);
    if (!m_options.High && !m_options.Low)
        return;
    m_alarms = new AlarmMonitor(m_session, this);
    AlarmSettings settings;
    settings.High = m_options.High;
    settings.Low = m_options.Low;
    settings.HoldSeconds = m_options.Hold;
    settings.Hysteresis = m_options.Hysteresis;
    m_alarms->setSettings(settings);
    connect(m_alarms, &AlarmMonitor::alarm, this, &HeadlessRun::alarm);
    connect(m_alarms, &AlarmMonitor::logFailed, this, [this](const QString &reason) {
        warn(QStringLiteral("Could not write the alarm log %1: %2.")
                 .arg(m_alarms->log().path(), reason));
    });
    // The log of alarms sits beside the data file: kiln.txt, kiln-alarms.txt.
    if (!m_options.Output.isEmpty()) {
        const QFileInfo out(m_options.Output);
        const QString path =
            out.dir().filePath(out.completeBaseName() + QStringLiteral("-alarms.txt"));
        if (!m_alarms->log().open(path))
            warn(QStringLiteral("Could not open the alarm log %1: %2; alarms are only said "
                                "here.")
                     .arg(path, m_alarms->log().errorString()));
    }
}

void HeadlessRun::alarm(const AlarmEvent &e, const QString &unit)
{
    const QString sentence = AlarmLog::sentence(e, unit);
    warn(sentence);
    DesktopNotifier::notify(QStringLiteral("Alarm %1 %2")
                                .arg(AlarmRules::kindName(e.Kind),
                                     e.Start ? QStringLiteral("started") : QStringLiteral("ended")),
                            sentence, e.Start);
    if (m_publisher)
        m_publisher->publishEvent("alarm", Mqtt::alarmJson(e, unit, m_publisher->id()), true);
    if (m_options.OnAlarm.isEmpty())
        return;
    // The command runs on its own; the run never waits for it. Its output goes to standard
    // error, never among the readings on standard output.
    if (!m_commands) {
        m_commands = new AlarmCommands(m_options.OnAlarm, 60000, this);
        connect(m_commands, &AlarmCommands::output, this, &HeadlessRun::writeErrBytes);
        connect(m_commands, &AlarmCommands::said, this, &HeadlessRun::warn);
    }
    QProcessEnvironment env;
    env.insert(QStringLiteral("TX9_ALARM"), AlarmRules::kindName(e.Kind));
    env.insert(QStringLiteral("TX9_STATE"),
               e.Start ? QStringLiteral("start") : QStringLiteral("end"));
    env.insert(QStringLiteral("TX9_VALUE"), AlarmLog::number(e.Value));
    env.insert(QStringLiteral("TX9_LIMIT"), AlarmLog::number(e.Limit));
    env.insert(QStringLiteral("TX9_TIME"),
               QString::fromLatin1(CaptureTime::text(MeasurementTable::packTime(e.Time))));
    env.insert(QStringLiteral("TX9_START"),
               QString::fromLatin1(CaptureTime::text(MeasurementTable::packTime(e.BreachStart))));
    env.insert(QStringLiteral("TX9_SECONDS"), QString::number(e.Seconds, 'f', 3));
    env.insert(QStringLiteral("TX9_UNIT"), unit);
    m_commands->run(AlarmRules::kindName(e.Kind) +
                        (e.Start ? QStringLiteral(" start") : QStringLiteral(" end")),
                    env);
}

void HeadlessRun::summarize()
{
    if (!m_stats)
        return;
    const qint64 rows = m_table->count();
    const QString unit =
        rows > 0 ? MeasurementTable::unitName(m_table->text(rows - 1, MeasurementTable::FieldUnit))
                 : QString();
    QString text = m_stats->text(m_stats->whole(), unit);
    if (m_alarms) {
        int started = 0, ended = 0;
        for (const AlarmEvent &e : m_alarms->log().entries())
            (e.Start ? started : ended) += 1;
        text +=
            QStringLiteral("Alarms: %1 started, %2 ended%3\n")
                .arg(started)
                .arg(ended)
                .arg(m_alarms->rules().anyActive() ? QStringLiteral(" (one still on)") : QString());
    }
    if (!m_options.Quiet)
        writeErr(text);
    if (m_options.Summary.isEmpty())
        return;
    SafeFile file(m_options.Summary);
    if (!file.open() || !file.write(text.toUtf8()) || !file.commit()) {
        warn(QStringLiteral("Could not write the summary %1: %2.")
                 .arg(m_options.Summary, file.errorString()));
        if (m_status == Ok)
            m_status = Failure;
    }
}
