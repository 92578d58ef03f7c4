#include "outputs/Outputs.h"

#include "alarms/AlarmMonitor.h"
#include "alarms/DesktopNotifier.h"
#include "alarms/Statistics.h"
#include "mqtt/MqttPayloads.h"
#include "mqtt/MqttPublisher.h"
#include "outputs/AlarmCommands.h"
#include "outputs/AuditTrail.h"
#include "outputs/DataFileOutput.h"
#include "outputs/LatestReading.h"
#include "outputs/Metrics.h"
#include "session/Journal.h"
#include "session/LoggerSession.h"
#include "timeline/Timeline.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <cmath>

Outputs::Outputs(LoggerSession &session, const OutputOptions &options, QObject *parent)
    : QObject(parent), m_session(session), m_options(options)
{
    m_stats = new TableStatistics(session.table(), this);
    if (std::isfinite(options.ActivationKJ))
        m_stats->setActivationKJ(options.ActivationKJ);
    m_audit = new AuditTrail(session, options.AuditLog, this);
    connect(m_audit, &AuditTrail::logFailed, this, [this](const QString &path, const QString &why) {
        emit said(QStringLiteral("Could not write the audit log %1: %2; the audit trail is "
                                 "still kept in the journal and beside the data files.")
                      .arg(path, why),
                  true);
    });
    if (options.Timeline) {
        m_timeline = new Timeline(this);
        m_timeline->follow(session);
        // Notes go into the journal as they are made, changed and removed: a crash keeps them.
        Journal *journal = &session.journal();
        connect(&m_timeline->notes(), &Notes::noted, journal,
                [journal](const Notes::Note &n) { journal->writeMark(Notes::journalLine(n)); });
        connect(&m_timeline->notes(), &Notes::removed, journal,
                [journal](qint64 id) { journal->writeMark(Notes::removedLine(id)); });
        m_audit->followNotes(m_timeline->notes());
    }
    m_alarms = new AlarmMonitor(session, this);
    // The sampling interval, looked at once a second rather than at every reading: a change
    // counts the table anew anyway.
    followInterval();
    auto *interval = new QTimer(this);
    interval->setInterval(1000);
    connect(interval, &QTimer::timeout, this, &Outputs::followInterval);
    interval->start();
    // The first limits are the session's own (beginAudit records them), no change of any.
    m_alarms->setSettings(options.Alarms);
    m_stats->setLimits(options.Alarms.High, options.Alarms.Low, options.Alarms.Unit);
    // Each alarm names the cable it came from: the loggers of several cables may share a log.
    connect(&session.engine(), &LoggerEngine::connecting, this, [this] {
        const LoggerEngine &e = m_session.engine();
        m_alarms->log().setCable(e.cableOf(e.Selected).Id);
    });
    // Each sink of the alarms follows the monitor itself: notifications, the command, and
    // (once publishing starts) the alarm topic.
    if (options.Notify)
        DesktopNotifier::follow(*m_alarms);
    connect(m_alarms, &AlarmMonitor::logFailed, this, [this](const QString &reason) {
        emit alarmLogFailed(m_alarms->log().path(), reason, false);
    });
    if (!options.AlarmLog.isEmpty()) {
        QDir().mkpath(QFileInfo(options.AlarmLog).absolutePath());
        if (!m_alarms->log().open(options.AlarmLog, options.AlarmLogAtFirst))
            // Said once the face is listening.
            QMetaObject::invokeMethod(
                this,
                [this, reason = m_alarms->log().errorString()] {
                    emit alarmLogFailed(m_options.AlarmLog, reason, true);
                },
                Qt::QueuedConnection);
    }
    if (!options.Latest.isEmpty())
        connect(new LatestReading(session, options.Latest, this), &LatestReading::failed, this,
                [this](const QString &path, const QString &reason) {
                    emit said(QStringLiteral("Could not write the latest reading to %1: %2.")
                                  .arg(path, reason),
                              true);
                });
    if (!options.MetricsListen.isEmpty() || !options.MetricsFile.isEmpty()) {
        m_metrics = new Metrics(session, *m_alarms, this);
        connect(m_metrics, &Metrics::failed, this, [this](const QString &path, const QString &why) {
            emit said(QStringLiteral("Could not write the metrics to %1: %2.").arg(path, why),
                      true);
        });
        QString why;
        if (!options.MetricsListen.isEmpty() && !m_metrics->listen(options.MetricsListen, &why))
            // Said once the face is listening.
            QMetaObject::invokeMethod(
                this,
                [this, why] {
                    emit said(QStringLiteral("The metrics are not served: %1.").arg(why), true);
                },
                Qt::QueuedConnection);
        if (!options.MetricsFile.isEmpty())
            m_metrics->writeFile(options.MetricsFile);
    }
    if (!options.OnAlarm.isEmpty()) {
        m_commands = new AlarmCommands(options.OnAlarm, 60000, this);
        connect(m_commands, &AlarmCommands::output, this, &Outputs::commandOutput);
        connect(m_commands, &AlarmCommands::said, this,
                [this](const QString &line) { emit said(line, true); });
        m_commands->follow(*m_alarms);
    }
}

Outputs::~Outputs() = default;

void Outputs::beginAudit(const QString &version)
{
    m_audit->begin(version);
    m_audit->record(QStringLiteral("alarm settings"), QString(), m_alarms->settings().text());
}

void Outputs::setAlarmSettings(const AlarmSettings &settings)
{
    const QString before = m_alarms->settings().text(), after = settings.text();
    if (before != after)
        m_audit->record(QStringLiteral("alarm settings"), before, after);
    m_alarms->setSettings(settings);
    m_stats->setLimits(settings.High, settings.Low, settings.Unit);
}

void Outputs::recomputeAlarms(qint64 first, qint64 last, LimitsHistory limits)
{
    if (!m_timeline)
        return;
    const TimeSeries &series = m_timeline->series();
    m_rowSpacing = std::max(m_rowSpacing, series.usualSpacingSeconds());
    followInterval();
    m_alarms->recompute(
        first, last, [&series](qint64 r) { return series.timeMs(r); }, std::move(limits));
}

void Outputs::restored(qint64 first, qint64 last, const std::vector<DataFiles::Mark> &marks)
{
    const std::vector<AuditEntry> journal = m_audit->restored(first, marks);
    // The limits as that session's entries give them; a journal without them is judged by
    // the limits set here.
    recomputeAlarms(first, last, limitsHistory(journal));
    m_alarms->addRecomputed(cableLossesOf(journal, m_alarms->settings().HoldSeconds));
}

bool Outputs::startPublishing(const Mqtt::Options &options, const QString &cableSerial,
                              QString *error)
{
    if (m_publisher)
        return true;
    m_publisher = new MqttPublisher(options, m_session, this);
    connect(m_publisher, &MqttPublisher::said, this, &Outputs::said);
    connect(m_publisher, &MqttPublisher::refused, this, &Outputs::publishingRefused);
    connect(m_publisher, &MqttPublisher::trouble, this, &Outputs::publishingTrouble);
    connect(m_publisher, &MqttPublisher::idInUse, this, &Outputs::idInUse);
    if (!m_publisher->start(cableSerial, error)) {
        delete std::exchange(m_publisher, nullptr);
        return false;
    }
    m_publisher->followAlarms(*m_alarms);
    // The broker away for longer than its hold, and the outbox that cannot be written, are a
    // logger gone blind for whoever watches from afar. Away from the start until connected.
    m_alarms->setBlindHold(AlarmKind::BrokerUnreachable, m_options.BrokerAlarmSeconds);
    const auto away = [this, url = options.Url](bool connected, const QString &why) {
        m_alarms->condition(AlarmKind::BrokerUnreachable, !connected,
                            QStringLiteral("the MQTT broker %1 cannot be reached%2")
                                .arg(url, why.isEmpty() ? QString() : QStringLiteral(": ") + why));
    };
    away(m_publisher->connected(), QString());
    connect(m_publisher, &MqttPublisher::brokerChanged, m_alarms, away);
    connect(m_publisher, &MqttPublisher::outboxWritableChanged, m_alarms,
            [this](bool writable, const QString &why) {
                m_alarms->condition(AlarmKind::OutboxNotWritable, !writable,
                                    QStringLiteral("the MQTT outbox %1 cannot be written: %2")
                                        .arg(m_publisher->outboxFolder(), why));
            });
    if (m_metrics)
        m_metrics->setPublisher(m_publisher);
    connect(m_audit, &AuditTrail::sealed, this, [this](const QString &seal) {
        if (m_sealedFile.isEmpty())
            publishSeal(seal);
    });
    if (m_timeline)
        connect(&m_timeline->notes(), &Notes::madeHere, m_publisher,
                [this](const Notes::Note &n, bool removed) {
                    Mqtt::NoteMessage m;
                    m.NoteId = n.Id;
                    m.Time = QDateTime::fromMSecsSinceEpoch(n.TimeMs);
                    if (n.Row >= 0)
                        m.Seq = m_publisher->seqOfRow(n.Row);
                    m.No = n.No;
                    m.Text = n.Text;
                    m.Removed = removed;
                    m.Id = m_publisher->id();
                    m_publisher->publishEvent("note", Mqtt::noteJson(m), false);
                });
    return true;
}

void Outputs::followDataFile(DataFileOutput &file)
{
    m_sealedFile = file.path();
    connect(&file, &DataFileOutput::sealed, this, &Outputs::publishSeal);
    connect(&file, &DataFileOutput::writableChanged, m_alarms,
            [this, path = file.path()](bool writable, const QString &why) {
                m_alarms->fileWritable(
                    path, writable,
                    QStringLiteral("the data file %1 cannot be written: %2").arg(path, why));
            });
    // Rows that go out without their signature: at the first failure, until it is signed.
    connect(&file, &DataFileOutput::signableChanged, m_alarms,
            [this, path = file.path()](bool signable, const QString &why) {
                m_alarms->condition(AlarmKind::NotSigned, !signable,
                                    QStringLiteral("%1 cannot be signed: %2").arg(path, why));
            });
}

void Outputs::stop()
{
    m_alarms->stop();
    if (m_metrics)
        m_metrics->stop();
}

void Outputs::publishSeal(const QString &seal)
{
    if (!m_publisher)
        return;
    QByteArray hex;
    qint64 rows = 0;
    if (Seal::parse(seal, &hex, &rows))
        m_publisher->publishEvent("seal",
                                  Mqtt::sealJson(rows, hex, QDateTime::currentDateTime(),
                                                 m_sealedFile, m_publisher->id()),
                                  true);
}

QList<OptionEntry> Outputs::optionEntries()
{
    return QList<OptionEntry>{AlarmCommands::option(), LatestReading::option()} +
           Metrics::options() + QList<OptionEntry>{brokerAlarmOption(), activationOption()};
}

void Outputs::followInterval()
{
    // No time counts and no alarm runs across a gap, as the time chart draws one: three
    // sampling intervals without a reading, or three times the readings' usual spacing where
    // that is longer (rows loaded from a file taken further apart), at least 10 s. A report
    // of the same rows takes the same.
    const double gap =
        gapSecondsOf(std::max(double(m_session.samplingSeconds()), double(m_rowSpacing)));
    m_stats->setKinetics(m_stats->activationKJ(), gap);
    m_alarms->setGapSeconds(gap);
}

namespace {

// A number of an output's options within [Min, Max]; NaN (refused by the parser) otherwise.
template <double OutputOptions::*Field, int Min, int Max>
void applyNumber(OutputOptions &o, const QString &v)
{
    bool ok = false;
    const double n = v.toDouble(&ok);
    o.*Field = ok && n >= Min && n <= Max ? n : qQNaN();
}

} // namespace

OptionEntry Outputs::activationOption()
{
    return {{QStringLiteral("activation-energy")},
            "KJ",
            "the activation energy of the mean kinetic temperature,\n"
            "in kJ/mol (default 83.144)",
            OptionEntry::Where::Both,
            applyNumber<&OutputOptions::ActivationKJ, 10, 500>,
            "broker-alarm"};
}

OptionEntry Outputs::brokerAlarmOption()
{
    return {{QStringLiteral("broker-alarm")},
            "S",
            "raise an alarm when the MQTT broker cannot be reached\n"
            "for S seconds (default 600)",
            OptionEntry::Where::Both,
            applyNumber<&OutputOptions::BrokerAlarmSeconds, 1, 10000000>,
            "metrics-file"};
}

SummaryInput Outputs::summaryInput(const QString &cable, const QString &version) const
{
    SummaryInput in;
    if (m_publisher)
        in.LoggerId = m_publisher->id();
    in.Cable = cable;
    in.Table = &m_session.table();
    in.Line = m_timeline;
    in.Limits = m_alarms->settings();
    in.Version = version;
    in.Audit = m_audit->entries();
    in.LimitsInForce = m_alarms->limitsInForce();
    in.Seals << m_audit->seal().text();
    in.BlindAlarms = m_alarms->blindEntries(AlarmMoment::now());
    in.ActivationKJ = m_stats->activationKJ();
    return in;
}

void Outputs::signReport(SummaryInput &in, SignOff signOff)
{
    signOff.stamp();
    m_audit->record(QStringLiteral("report signed"), QString(), signOff.sentence());
    in.Audit.push_back(m_audit->all().back());
    in.Signed = signOff;
}

void Outputs::finishThen(int ms, std::function<void()> done)
{
    if (m_commands)
        m_commands->finishThen(ms, std::move(done));
    else
        done();
}
