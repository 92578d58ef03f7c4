// The headless run: its start, the rows it writes, its stop and end, and what it says on
// standard error (the status line included).

#include "headless/Headless.h"

#include "mqtt/MqttPublisher.h"
#include "output/ErrWriter.h"
#include "outputs/AuditTrail.h"
#include "outputs/JournalWatch.h"
#include "outputs/Outputs.h"
#include "outputs/RowStream.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "session/RowFile.h"
#include "usb/HidControllerClass.h"
#include "usb/HidPlatform.h"

#include <QDate>
#include <QFile>
#include <QTimer>
#include <cerrno>
#include <limits>
#include <unistd.h>

using namespace Headless;

HeadlessRun::HeadlessRun(const Options &options, HidPlatform *platform, int out, int err,
                         bool statusLine, QObject *parent)
    : QObject(parent), m_options(options), m_out(out), m_err(err), m_statusLine(statusLine),
      m_platform(platform), m_session(*this, Journal::defaultFolder(), this),
      m_journalWatch(new JournalWatch(m_session.journal(), this)),
      m_errWriter(std::make_unique<ErrWriter>(err))
{
    // What the session tells, as this run handles it.
    LoggerEngine *s = &m_session.engine();
    connect(s, &LoggerEngine::noReadWriteAccess, this, &HeadlessRun::noReadWriteAccess);
    connect(s, &LoggerEngine::noDevice, this, &HeadlessRun::noDevice);
    connect(s, &LoggerEngine::recordSIUnchecked, this, [this] { m_recordSI = false; });
    connect(s, &LoggerEngine::recordLimitReached, this, &HeadlessRun::recordLimitReached);
    connect(s, &LoggerEngine::downloadEnded, this, &HeadlessRun::downloadEnded);
    connect(s, &LoggerEngine::deviceChosen, this, [this](int row) { m_row = row; });
    // The run's cable stays its own while it is away.
    m_engine.setKeepCableWhileAway(true);
    m_engine.setIdLockRequired(!m_options.NoIdLock);
    connect(s, &LoggerEngine::cableInUse, this, [this](THidDevice *device, qint64 holder) {
        // Taken between the claim and the connect: another logger won the race. A run that
        // takes the first free cable takes the next one.
        if (m_options.Device.isEmpty() && !m_everConnected && !m_done) {
            m_connectWanted = false;
            m_followId.clear();
            m_engine.cableLock().release();
            m_lost = true;
            QTimer::singleShot(0, this, &HeadlessRun::reconnect);
            return;
        }
        warn(QStringLiteral("The cable %1 is in use by %2.")
                 .arg(m_engine.cableOf(device).Node, holder > 0
                                                         ? QStringLiteral("PID %1").arg(holder)
                                                         : QStringLiteral("another logger")));
        m_connectWanted = false;
        finish(CableInUse);
    });
    connect(s, &LoggerEngine::cableLockFailed, this, [this](THidDevice *, const QString &why) {
        warn(QStringLiteral("The cable's lock %1 cannot be taken; --no-id-lock logs without it.")
                 .arg(why));
        m_connectWanted = false;
        finish(LockFailed);
    });
    connect(s, &LoggerEngine::deviceRemoved, this, &HeadlessRun::deviceRemoved);
    connect(s, &LoggerEngine::deviceListRebuilt, this, &HeadlessRun::deviceListRebuilt);
    connect(s, &LoggerEngine::connectionLost, this, &HeadlessRun::connectionLost);
    connect(s, &LoggerEngine::watchdogTripped, this, &HeadlessRun::watchdogTripped);
    m_statusTimer.setInterval(1000);
    connect(&m_statusTimer, &QTimer::timeout, this, &HeadlessRun::showStatus);
    m_durationTimer.setSingleShot(true);
    connect(&m_durationTimer, &QTimer::timeout, this, &HeadlessRun::durationStep);
    m_settleTimer.setSingleShot(true);
    m_settleTimer.setInterval(500);
    connect(&m_settleTimer, &QTimer::timeout, this, &HeadlessRun::reconnect);
}

HeadlessRun::~HeadlessRun()
{
    if (running())
        stop(m_status);
}

QString HeadlessRun::journalPath() const
{
    return m_journal->path();
}

void HeadlessRun::start()
{
    m_started = true;
    m_state.DecimalSep = LocaleInfo::decimalSeparator();
    m_state.RecordLimit =
        m_options.Limit ? qint32(*m_options.Limit) : std::numeric_limits<qint32>::max();

    m_engine.createController(m_platform);
    m_engine.installOwnHandlers(); // lists the devices
    if (m_options.List) {
        list();
        finish(Ok);
        return;
    }
    qint64 holder = 0;
    QString lockFailed;
    m_row = claimRow(&holder, &lockFailed);
    if (!lockFailed.isEmpty()) {
        warn(QStringLiteral("The cable's lock %1 cannot be taken: without it a second logger "
                            "could take this cable while it is unplugged. Mend the lock folder "
                            "(TX9_LOCK_DIR, else /run/lock), or give --no-id-lock to log "
                            "without that lock.")
                 .arg(lockFailed));
        finish(LockFailed);
        return;
    }
    if (m_row < 0 && holder != 0 && (!m_options.Device.isEmpty() || !m_options.Wait)) {
        const QString who =
            holder > 0 ? QStringLiteral("PID %1").arg(holder) : QStringLiteral("another logger");
        if (!m_options.Device.isEmpty()) {
            warn(QStringLiteral("The cable %1 is in use by %2.").arg(m_options.Device, who));
            finish(CableInUse);
        } else {
            everyCableInUse(holder);
        }
        return;
    }
    if (m_row < 0 && !m_options.Wait) {
        warn(m_options.Device.isEmpty()
                 ? QStringLiteral("No \"%1\" cable found. Plug in the thermometer's cable.")
                       .arg(LoggerEngine::CableName)
                 : QStringLiteral("No HID interface \"%1\" (see --list).").arg(m_options.Device));
        finish(NoCable);
        return;
    }
    if (m_row >= 0 && !m_engine.Devices[m_row]->ReadWriteAccess()) {
        noReadWriteAccess(m_engine.Devices[m_row], m_engine.Devices[m_row]->ReadWriteError());
        return;
    }

    setOrphansAside();
    const QString rowsGo =
        m_options.Output.isEmpty() ? QStringLiteral("standard output") : m_options.Output;
    if (!m_journalWatch->unavailable().isEmpty())
        warn(QStringLiteral("There is no recovery journal: %1. The readings go to %2 only.")
                 .arg(m_journalWatch->unavailable(), rowsGo));
    connect(m_journalWatch, &JournalWatch::writeFailed, this,
            [this, rowsGo](const QString &path, const QString &reason) {
                warn(QStringLiteral("Could not write the recovery journal %1: %2. The readings "
                                    "still go to %3.")
                         .arg(path, reason, rowsGo));
            });
    m_journal->attach(m_table);
    if (!openOutput())
        return;
    // Publishing's id may be the cable's: with --wait it starts with the cable.
    startOutputs();
    if (m_row >= 0 && !startPublishing())
        return;

    if (m_row >= 0) {
        connectCable();
        if (m_done)
            return;
    } else {
        // --wait: the run is ready; the cable is connected once it is plugged in (or free).
        m_lost = true;
        if (holder != 0)
            reconnect(); // says so, and looks again every two seconds
        else
            warn(m_options.Device.isEmpty()
                     ? QStringLiteral("No \"%1\" cable yet; waiting for one to be plugged in.")
                           .arg(LoggerEngine::CableName)
                     : QStringLiteral("No HID interface \"%1\" yet; waiting for it.")
                           .arg(m_options.Device));
    }
    m_engine.startTimers();
    if (m_options.Duration) {
        m_deadline.setRemainingTime(qint64(*m_options.Duration * 1000.0), Qt::PreciseTimer);
        durationStep();
    }
    if (m_statusLine)
        m_statusTimer.start();
    if (m_row >= 0 && !m_lost) // not when a race for the cable was lost
        sayStarted();
}

void HeadlessRun::everyCableInUse(qint64 holder)
{
    warn(QStringLiteral("Every \"%1\" cable is in use (by %2 and any others); --wait waits for "
                        "a free one.")
             .arg(LoggerEngine::CableName, holder > 0 ? QStringLiteral("PID %1").arg(holder)
                                                      : QStringLiteral("another logger")));
    finish(NoCable);
}

void HeadlessRun::sayStarted()
{
    m_everConnected = true;
    const QString path = m_engine.cableAt(m_row).Node;
    say(m_options.Download ? QStringLiteral("Downloading the stored readings from %1.").arg(path)
                           : QStringLiteral("Logging from %1.").arg(path));
}

void HeadlessRun::setOrphansAside()
{
    // Runs or windows that ended without closing left rows in journals: nobody is here to
    // ask, so they are kept aside and the run starts a journal of its own.
    for (const JournalWatch::Orphan &o : m_journalWatch->setOrphansAside()) {
        const Journal::Contents &c = o.Contents;
        if (!c.Journal) {
            warn(QStringLiteral("%1 is not one of this program's journals; it is kept as %2.")
                     .arg(o.Path, o.KeptAs));
            continue;
        }
        warn(QStringLiteral("A previous session left %1 unsaved readings%2; they are kept in %3.")
                 .arg(c.Rows)
                 .arg(c.Unreadable ? QStringLiteral(" (and %1 unreadable lines)").arg(c.Unreadable)
                                   : QString(),
                      o.KeptAs));
        m_setAside.push_back({QStringLiteral("journal set aside"), o.Path,
                              QStringLiteral("%1 rows, kept as %2").arg(c.Rows).arg(o.KeptAs)});
    }
}

QString HeadlessRun::keptWhere() const
{
    switch (m_journalWatch->kept()) {
    case JournalWatch::Kept::Nowhere:
        return QStringLiteral(" There is no recovery journal, so they are kept nowhere else.");
    case JournalWatch::Kept::WriteFailed:
        return QStringLiteral(" The recovery journal %1 could not be written either.")
            .arg(m_journalWatch->path());
    case JournalWatch::Kept::InJournal:
        break;
    }
    return QStringLiteral(" The readings are kept in %1.").arg(m_journalWatch->path());
}

void HeadlessRun::durationStep()
{
    // A timer runs for at most 24 days: a longer run waits in steps of a day.
    const qint64 left = m_deadline.remainingTime();
    if (left <= 0) {
        stop();
        return;
    }
    m_durationTimer.start(int(qMin<qint64>(left, 24 * 3600 * 1000)));
}

void HeadlessRun::recordLimitReached()
{
    say(QStringLiteral("%1 readings stored: the limit is reached.").arg(m_table->count()));
    QTimer::singleShot(0, this, [this] { stop(); });
}

void HeadlessRun::downloadEnded()
{
    m_downloadEnded = true;
    QTimer::singleShot(0, this, [this] { stop(); });
}

void HeadlessRun::outputFailed(const QString &reason)
{
    warn(QStringLiteral("Could not write %1: %2.%3").arg(m_options.Output, reason, keptWhere()));
    QTimer::singleShot(0, this, [this] { stop(WriteFailed); });
}

void HeadlessRun::stop(int status)
{
    if (!m_started || m_done)
        return;
    if (m_connectWanted) {
        m_connectWanted = false;
        if (m_downloadEnded)
            m_engine.stopReading(); // the end mark's stop command has gone out already
        else
            m_engine.toggleConnection(); // sends the stop command
    }
    if (m_status == Ok)
        m_status = status;
    qint64 inFile = m_table->count();
    // The session's last entry, into the data file's trail as it closes.
    if (m_outputs) {
        m_outputs->stop();
        m_outputs->audit().end();
    }
    if (m_file) {
        const DataFileOutput::Closed closed = m_file->close();
        inFile = closed.Rows;
        if (!closed.Unsaid.isEmpty())
            warn(QStringLiteral("Could not write %1: %2.%3")
                     .arg(m_options.Output, closed.Unsaid, keptWhere()));
        if (closed.Failed && m_status == Ok)
            m_status = WriteFailed;
    }
    if (MqttPublisher *m_publisher = publisher()) {
        m_publisher->close();
        if (const quint64 lost = m_publisher->notKept(); lost > 0) {
            // Said as it is: those messages are gone, their readings are not.
            QStringList where;
            if (inFile > 0)
                where << m_options.Output;
            if (m_journalWatch->kept() != JournalWatch::Kept::Nowhere)
                where << QStringLiteral("the recovery journal %1").arg(m_journalWatch->path());
            warn(QStringLiteral("%1 MQTT messages could not be kept in the outbox %2 (%3) and "
                                "will not be published; their readings are in %4.")
                     .arg(lost)
                     .arg(m_publisher->outboxFolder(), m_publisher->outboxError(),
                          where.isEmpty() ? QStringLiteral("no file") : where.join(" and ")));
            if (m_status == Ok)
                m_status = WriteFailed;
        }
        if (const quint64 kept = m_publisher->onDisk(); kept > 0)
            warn(QStringLiteral("%1 MQTT messages wait in the outbox %2 for the broker; they go "
                                "out with the next run of logger id %3.")
                     .arg(kept)
                     .arg(m_publisher->outboxFolder(), m_publisher->id()));
    }
    // The journal is retired when the data file holds every row (a broker that refused the
    // run does not change that: the rows wait in the outbox); after a failure it stays for
    // the next start.
    if (m_status == Ok || m_status == DownloadInterrupted || m_status == MqttRefused)
        m_journal->closeNormally();
    else
        m_journal->flush();
    m_statusTimer.stop();
    if (m_statusShown)
        writeErr(QStringLiteral("\r\033[K"));
    m_statusShown = false;
    summarize();
    if (inFile < m_table->count() && !m_options.Output.isEmpty())
        warn(QStringLiteral("Stopped after %1 readings; only %2 of them are in %3.")
                 .arg(m_table->count())
                 .arg(inFile)
                 .arg(m_options.Output));
    else
        say(QStringLiteral("Stopped after %1 readings%2.")
                .arg(m_table->count())
                .arg(m_options.Output.isEmpty() ? QString()
                                                : QStringLiteral(" in %1").arg(m_options.Output)));
    finish(m_status);
}

void HeadlessRun::finish(int status)
{
    if (m_done)
        return;
    m_done = true;
    m_status = status;
    // A packet never written: its empty placeholder goes.
    delete std::exchange(m_file, nullptr);
    m_statusTimer.stop();
    m_durationTimer.stop();
    m_settleTimer.stop();
    if (m_statusShown)
        writeErr(QStringLiteral("\r\033[K"));
    m_engine.releaseDeviceList();
    auto done = [this, status] {
        m_errWriter->flush(2000);
        emit finished(status);
    };
    // Alarm commands still running (or waiting their turn) get a moment to end.
    if (m_outputs)
        m_outputs->finishThen(10000, done);
    else
        done();
}

void HeadlessRun::showStatus()
{
    QString line = QStringLiteral("\r\033[K%1 readings").arg(m_table->count());
    if (m_table->count() > 0) {
        const qint64 last = m_table->count() - 1;
        line += QStringLiteral(", last %1 %2 at %3")
                    .arg(m_table->text(last, MeasurementTable::FieldValue).trimmed(),
                         m_table->lastUnitName(), m_table->text(last, MeasurementTable::FieldTime));
    }
    if (m_lost)
        line += QStringLiteral(", waiting for the cable");
    if (MqttPublisher *p = publisher())
        line += QStringLiteral(", ") + p->statusText();
    writeErr(line);
    m_statusShown = true;
}

void HeadlessRun::say(const QString &line)
{
    if (!m_options.Quiet)
        warn(line);
}

void HeadlessRun::warn(const QString &line)
{
    writeErr((m_statusShown ? QStringLiteral("\r\033[K") : QString()) + line + QLatin1Char('\n'));
    if (m_statusShown)
        showStatus();
}

void HeadlessRun::writeErr(const QString &text)
{
    m_errWriter->write(text.toLocal8Bit());
}

void HeadlessRun::writeErrBytes(const QByteArray &bytes)
{
    // What a command printed, between the run's own lines: the status line makes way.
    if (m_statusShown) {
        writeErr(QStringLiteral("\r\033[K"));
        m_statusShown = false;
    }
    m_errWriter->write(bytes);
}
