// The outputs of a headless run, built from its command line, and what it says of them: the
// data file and standard output, the alarms (each a line; their log beside the data file),
// publishing, the statistics at the end.

#include "headless/Headless.h"

#include "alarms/AlarmMonitor.h"
#include "alarms/Statistics.h"
#include "mqtt/MqttPublisher.h"
#include "output/SafeFile.h"
#include "outputs/AuditTrail.h"
#include "outputs/DataFileOutput.h"
#include "outputs/Outputs.h"
#include "outputs/RowStream.h"
#include "proof/Verify.h"
#include "recording/MeasurementTable.h"
#include "report/SummaryInput.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTimer>
#include <cerrno>

using namespace Headless;

QString Headless::alarmLogPath(const QString &output)
{
    const QFileInfo out(output);
    return out.dir().filePath(out.completeBaseName() + QStringLiteral("-alarms.txt"));
}

bool HeadlessRun::openOutput()
{
    if (!m_options.Report.isEmpty()) {
        // Whether the report can be written is known now, not after days of logging.
        const QString other =
            m_options.ReplaceReport
                ? QString()
                : FileIo::holdsSomethingElse(m_options.Report, "%PDF-", QStringLiteral("PDF"));
        if (!other.isEmpty()) {
            warn(QStringLiteral("Cannot write %1: %2; --overwrite replaces it.")
                     .arg(m_options.Report, other));
            finish(NotWritable);
            return false;
        }
        QTemporaryFile probe(QFileInfo(m_options.Report).absolutePath() +
                             QStringLiteral("/.tx9-probe-XXXXXX"));
        if (!reportWriter() || !probe.open()) {
            warn(QStringLiteral("Cannot write %1: %2.")
                     .arg(m_options.Report, reportWriter() ? probe.errorString()
                                                           : QStringLiteral("no report writer")));
            finish(NotWritable);
            return false;
        }
    }
    if (m_options.ToStdout) {
        m_stream = new RowStream(m_session, m_out, this);
        connect(m_stream, &RowStream::ended, this, [this](int error) {
            // Nobody reads standard output any more (a closed pipe): the run ends as asked.
            const int status = error == EPIPE ? Ok : WriteFailed;
            if (!m_done)
                QTimer::singleShot(0, this, [this, status] { stop(status); });
        });
    }
    if (m_options.Output.isEmpty())
        return true;
    m_file =
        new DataFileOutput(m_session, {m_options.Output, m_options.Csv, m_options.IfExists}, this);
    connect(m_file, &DataFileOutput::said, this,
            [this](const QString &line, bool problem) { problem ? warn(line) : say(line); });
    QString why;
    switch (m_file->open(&why)) {
    case DataFileOutput::Opened::Ok:
        break;
    case DataFileOutput::Opened::Refused:
        warn(why);
        finish(NotWritable);
        return false;
    case DataFileOutput::Opened::Failed:
        outputFailed(why);
        finish(WriteFailed);
        return false;
    }
    connect(m_file, &DataFileOutput::failed, this, &HeadlessRun::outputFailed);
    return true;
}

void HeadlessRun::startOutputs()
{
    OutputOptions o = m_options.Outputs;
    o.Alarms.High = m_options.High;
    o.Alarms.Low = m_options.Low;
    o.Alarms.HoldSeconds = m_options.Hold;
    o.Alarms.Hysteresis = m_options.Hysteresis;
    o.Alarms.Unit = m_options.LimitUnit;
    o.Timeline = !m_options.Report.isEmpty();
    o.AuditLog = AuditTrail::defaultLogPath();
    // The log of alarms sits beside the data file: kiln.txt, kiln-alarms.txt. The limits' and
    // the blind logger's alarms go there, so it is made with the first one.
    if (!m_options.Output.isEmpty()) {
        o.AlarmLog = alarmLogPath(m_options.Output);
        o.AlarmLogAtFirst = !o.Alarms.any();
    }
    m_outputs = new Outputs(m_session, o, this);
    connect(m_outputs, &Outputs::said, this,
            [this](const QString &line, bool problem) { problem ? warn(line) : say(line); });
    // The trail begins with the run and what it is to store; the data file's trail follows.
    AuditTrail &audit = m_outputs->audit();
    m_outputs->beginAudit(QStringLiteral(TX9_VERSION));
    audit.record(QStringLiteral("settings"), QString(), settingsText());
    for (const SetAside &a : std::exchange(m_setAside, {}))
        audit.record(a.What, a.Old, a.New);
    if (m_file) {
        m_file->follow(audit);
        m_outputs->followDataFile(*m_file);
    }
    connect(m_outputs, &Outputs::commandOutput, this, &HeadlessRun::writeErrBytes);
    connect(
        m_outputs, &Outputs::alarmLogFailed, this,
        [this](const QString &path, const QString &reason, bool opening) {
            warn(opening
                     ? QStringLiteral("Could not open the alarm log %1: %2; alarms are "
                                      "only said here.")
                           .arg(path, reason)
                     : QStringLiteral("Could not write the alarm log %1: %2.").arg(path, reason));
        });
    connect(
        &m_outputs->alarms(), &AlarmMonitor::alarm, this,
        [this](const AlarmEvent &e, const QString &unit) { warn(AlarmLog::sentence(e, unit)); });
    connect(m_outputs, &Outputs::publishingRefused, this, [this] {
        // Wrong credentials or a certificate that does not verify will not mend themselves:
        // a run that never got through stops at once. Once it has been connected, the
        // broker's configuration may have changed under it: it goes on trying.
        if (!m_outputs->publisher()->everConnected())
            QTimer::singleShot(0, this, [this] { stop(MqttRefused); });
    });
    // Another logger publishing under the same id (another machine): after three takeovers
    // within ten minutes the run ends, its readings kept in its file and outbox.
    connect(m_outputs, &Outputs::idInUse, this,
            [this] { QTimer::singleShot(0, this, [this] { stop(MqttRefused); }); });
}

QString HeadlessRun::settingsText() const
{
    QStringList s;
    s << (m_options.Download ? QStringLiteral("download the instrument's readings")
          : m_options.Interval == 0
              ? QStringLiteral("every reading")
              : QStringLiteral("a reading every %1 s").arg(m_options.Interval));
    s << (m_options.Repeat ? QStringLiteral("repeats stored") : QStringLiteral("no repeats"));
    if (m_options.Limit)
        s << QStringLiteral("record limit %1").arg(*m_options.Limit);
    if (m_options.Duration)
        s << QStringLiteral("for %1 s").arg(*m_options.Duration);
    if (!m_options.Output.isEmpty())
        s << QStringLiteral("to %1%2").arg(m_options.Output, m_options.IfExists == Existing::Append
                                                                 ? QStringLiteral(" (appended)")
                                                                 : QString());
    return s.join(QStringLiteral(", "));
}

bool HeadlessRun::startPublishing()
{
    QString error;
    // The default id names the cable: its serial number, else its port path.
    if (m_options.Mqtt &&
        !m_outputs->startPublishing(*m_options.Mqtt, m_engine.cableName(m_row), &error)) {
        warn(error);
        finish(MqttRefused);
        return false;
    }
    return true;
}

MqttPublisher *HeadlessRun::publisher() const
{
    return m_outputs ? m_outputs->publisher() : nullptr;
}

void HeadlessRun::summarize()
{
    if (!m_outputs)
        return;
    const TableStatistics &stats = m_outputs->statistics();
    AlarmMonitor &alarms = m_outputs->alarms();
    const QString unit = m_table->lastUnitName();
    QString text = stats.text(stats.whole(), unit);
    // The limits' alarms, and a blind logger's (which come without limits too).
    if (alarms.settings().any() || !alarms.log().entries().isEmpty()) {
        int started = 0, ended = 0;
        for (const AlarmEvent &e : alarms.log().entries())
            (e.Start ? started : ended) += 1;
        const qsizetype on = alarms.activeKinds().size();
        text += QStringLiteral("Alarms: %1 started, %2 ended%3\n")
                    .arg(started)
                    .arg(ended)
                    .arg(on == 0   ? QString()
                         : on == 1 ? QStringLiteral(" (one still on)")
                                   : QStringLiteral(" (%1 still on)").arg(on));
    }
    if (!m_options.Quiet)
        writeErr(text);
    writeReport();
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

void HeadlessRun::writeReport()
{
    if (m_options.Report.isEmpty() || !m_outputs || !m_outputs->timeline())
        return;
    // The cable by its ID, as every face names it (its node only when it has no other).
    SummaryInput in =
        m_outputs->summaryInput(m_engine.cableAt(m_row).Id, versionText(QString()).trimmed());
    in.IntervalSeconds = m_options.Interval;
    // The page prints the seal of the recording as the data file holds it; the sign-off is
    // the trail's entry after it.
    if (m_options.Signed)
        m_outputs->signReport(in, *m_options.Signed);
    if (!m_options.Output.isEmpty()) {
        in.Sources << m_options.Output;
        // The data file is complete by now: what --verify says of it.
        in.Verification << FileVerification::of(m_options.Output,
                                                Verify::file(m_options.Output, {}));
    }
    QString reason;
    const bool written = reportWriter() && reportWriter()(in, m_options.Report, &reason);
    if (written)
        m_outputs->audit().record(QStringLiteral("report written"), QString(), m_options.Report);
    if (!written) {
        warn(QStringLiteral("Could not write the summary report %1: %2.")
                 .arg(m_options.Report, reportWriter() ? reason : QStringLiteral("no writer")));
        if (m_status == Ok)
            m_status = NotWritable;
    }
}
