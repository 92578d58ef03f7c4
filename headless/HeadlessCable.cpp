// The cable of a headless run: which one is used, the list of them, and what happens when it
// goes away, comes back, cannot be opened or falls silent.

#include "headless/Headless.h"

#include "recording/MeasurementTable.h"
#include "usb/CableIds.h"
#include "usb/HidControllerClass.h"
#include "usb/HidPlatform.h"

#include <QTimer>

using namespace Headless;

int HeadlessRun::pickRow() const
{
    const QList<THidDevice *> &devices = m_engine.Devices;
    // Once connected, the run follows its own cable: across a replug (a new node) it takes
    // that cable again, and never another one.
    if (!m_followId.isEmpty())
        return CableIds::find(m_engine.cables(), m_followId);
    if (m_options.Device.isEmpty())
        return m_engine.cableRow();
    bool number = false;
    const int n = m_options.Device.toInt(&number);
    if (number)
        return n >= 1 && n <= devices.size() ? n - 1 : -1;
    for (int i = 0; i < devices.size(); ++i)
        if (devices[i]->PnPInfo().DevInst == m_options.Device)
            return i;
    return CableIds::find(m_engine.cables(), m_options.Device);
}

QList<int> HeadlessRun::candidates() const
{
    if (!m_followId.isEmpty() || !m_options.Device.isEmpty()) {
        const int row = pickRow();
        return row >= 0 ? QList<int>{row} : QList<int>{};
    }
    // Any thermometer cable, with or without a serial number.
    QList<int> rows;
    for (int i = 0; i < m_engine.cables().size(); ++i)
        if (m_engine.cables()[i].isThermometer())
            rows << i;
    return rows;
}

int HeadlessRun::claimRow(qint64 *holder, QString *lockFailed)
{
    *holder = 0;
    for (const int row : candidates()) {
        // The ID first: a logger waiting for its cable holds it while the node is gone; a
        // cable known only by its node is locked by the node's name.
        const CableIds::Cable cable = m_engine.cableAt(row);
        const bool stable = cable.stable();
        if (stable && !m_followId.isEmpty() && cable.Id != m_followId)
            continue;
        const LoggerEngine::Claim claim = m_engine.claim(cable);
        const CableLock::Result r = claim.Result;
        if (claim.Fatal && lockFailed) {
            *lockFailed = m_engine.cableLock().error();
            return -1;
        }
        if (r == CableLock::Result::Failed && !m_saidLockFailed) {
            m_saidLockFailed = true;
            warn(QStringLiteral("The cable's lock %1 cannot be taken; %2.")
                     .arg(m_engine.cableLock().error(),
                          stable ? QStringLiteral("going on without it, as --no-id-lock asks")
                                 : QStringLiteral("only its node's lock keeps other loggers "
                                                  "off it")));
        }
        if (r != CableLock::Result::InUse)
            return row;
        *holder = m_engine.cableLock().holder() ? m_engine.cableLock().holder() : -1;
        // Losing a race (or meeting a cable in use) moves on to the next one; what is
        // followed stays held.
        if (m_followId.isEmpty())
            m_engine.cableLock().release();
    }
    return -1;
}

void HeadlessRun::list()
{
    const QList<int> rows = candidates();
    const QList<CableIds::Cable> &cables = m_engine.cables();
    // The one that would be used: the first that no logger holds.
    int chosen = -1;
    for (const int row : rows)
        if (chosen < 0 && !CableLock::holderOf(cables[row].Node) &&
            !CableLock::holderOf(CableLock::idLockPath(cables[row].Id)))
            chosen = row;
    QString text;
    for (int i = 0; i < m_engine.Devices.size(); ++i) {
        THidDevice *d = m_engine.Devices[i];
        text += QStringLiteral("%1 %2  %3  %4:%5  %6%7")
                    .arg(i == chosen ? QStringLiteral("*") : QStringLiteral(" "))
                    .arg(i + 1, 2)
                    .arg(d->PnPInfo().DevicePath, LoggerEngine::hex4(d->VendorID()),
                         LoggerEngine::hex4(d->ProductID()), m_engine.Descriptions.value(i),
                         d->ReadWriteAccess() ? QString() : QStringLiteral("  (no access)"));
        qint64 pid = CableLock::holderOf(cables[i].Node);
        if (!pid)
            pid = CableLock::holderOf(CableLock::idLockPath(cables[i].Id));
        text +=
            QStringLiteral("  serial %1  port %2  cable ID %3%4\n")
                .arg(cables[i].Serial.isEmpty() ? QStringLiteral("-") : cables[i].Serial,
                     cables[i].PortPath.isEmpty() ? QStringLiteral("-") : cables[i].PortPath,
                     cables[i].Id, pid ? QStringLiteral("  logged by PID %1").arg(pid) : QString());
    }
    if (m_engine.Devices.isEmpty())
        text = QStringLiteral("No HID interfaces.\n");
    const QByteArray bytes = text.toLocal8Bit();
    [[maybe_unused]] const ssize_t n = ::write(m_out, bytes.constData(), size_t(bytes.size()));
}

void HeadlessRun::connectCable()
{
    m_cableId = m_engine.Devices[m_row]->PnPInfo().DevInst;
    // Only an ID that stays with the cable is followed: a node may be another cable's after
    // a replug, and a cable known only by its node is found again as it was found at first.
    const CableIds::Cable cable = m_engine.cableAt(m_row);
    if (m_followId.isEmpty() && cable.stable())
        m_followId = cable.Id;
    m_connectWanted = true;
    m_lost = false;
    m_engine.toggleConnection();
}

void HeadlessRun::deviceRemoved(THidDevice *device)
{
    if (m_done || device->PnPInfo().DevInst != m_cableId || !m_connectWanted)
        return;
    cableLost(QStringLiteral("the cable was unplugged"),
              QStringLiteral("The cable was unplugged; waiting for it to come back."));
}

void HeadlessRun::connectionLost()
{
    // The list was rebuilt and the cable is not there to be read (gone without a removal, or
    // back without access): nothing would read it, and the watchdog could never speak.
    if (m_done || !m_connectWanted)
        return;
    cableLost(QStringLiteral("the connection to the cable was lost"),
              QStringLiteral("The connection to the cable was lost; waiting for it."));
    if (m_lost)
        m_settleTimer.start();
}

void HeadlessRun::cableLost(const QString &why, const QString &waiting)
{
    m_connectWanted = false;
    m_engine.cableLock().releaseNode(); // the node goes with the cable; its ID stays held
    if (m_options.Download && !m_downloadEnded) {
        downloadInterrupted(why);
        return;
    }
    m_lost = true;
    warn(waiting);
}

void HeadlessRun::downloadInterrupted(const QString &why)
{
    warn(QStringLiteral("The download was interrupted (%1) after %2 readings; they are kept%3. "
                        "It is not fetched again, which would store the readings twice: run "
                        "the download once more for all of them.")
             .arg(why)
             .arg(m_table->count())
             .arg(m_options.Output.isEmpty() ? QString()
                                             : QStringLiteral(" in %1").arg(m_options.Output)));
    QTimer::singleShot(0, this, [this] { stop(DownloadInterrupted); });
}

void HeadlessRun::deviceListRebuilt(bool connected)
{
    if (m_done || connected || !m_lost)
        return;
    // A cable coming back shows up in several steps (the USB device, its interface, the
    // node): it is connected once the list has been quiet for a moment.
    if (!candidates().isEmpty())
        m_settleTimer.start();
}

void HeadlessRun::reconnect()
{
    if (m_done || !m_lost)
        return;
    qint64 holder = 0;
    const int row = claimRow(&holder);
    if (row < 0 && holder != 0 && !m_everConnected && !m_options.Wait) {
        // Lost the race for the cable it was about to take, and told not to wait.
        everyCableInUse(holder);
        return;
    }
    if (row < 0 && holder != 0) {
        // Every cable there is another logger's: one may be free soon, and a lock given up
        // changes nothing in the list, so it is looked at again.
        if (!m_saidInUse)
            warn(QStringLiteral("The cable is in use by %1; waiting for a free one.")
                     .arg(holder > 0 ? QStringLiteral("PID %1").arg(holder)
                                     : QStringLiteral("another logger")));
        m_saidInUse = true;
        if (!m_retryPending) {
            m_retryPending = true;
            QTimer::singleShot(2000, this, [this] {
                m_retryPending = false;
                reconnect();
            });
        }
        return;
    }
    if (row >= 0 && !m_engine.Devices[row]->ReadWriteAccess()) {
        // Back, but not to be opened (yet: udev may still be setting its permissions). Said
        // once; the list is looked at again every two seconds.
        if (!m_saidNoAccess)
            warn(QStringLiteral("The cable is %1 but cannot be opened for reading and "
                                "writing: %2. Still waiting.")
                     .arg(m_everConnected ? QStringLiteral("back") : QStringLiteral("here"))
                     .arg(m_platform
                              ? m_platform->errorText(m_engine.Devices[row]->ReadWriteError())
                              : QString()));
        m_saidNoAccess = true;
        if (!m_retryPending) {
            m_retryPending = true;
            QTimer::singleShot(2000, this, [this] {
                m_retryPending = false;
                if (m_done || !m_lost)
                    return;
                m_engine.deviceChange(); // opened anew: the permissions may be right now
                reconnect();
            });
        }
        return;
    }
    if (row < 0)
        return;
    m_saidNoAccess = false;
    m_row = row;
    if (!m_everConnected) {
        if (!startPublishing())
            return;
        connectCable();
        if (!m_lost) // not when a race for the cable was lost
            sayStarted();
        return;
    }
    warn(QStringLiteral("The cable is back; logging goes on."));
    connectCable();
}

void HeadlessRun::watchdogTripped()
{
    if (m_options.Download && !m_downloadEnded && m_connectWanted) {
        // Asking again would start the download from its first reading.
        downloadInterrupted(QStringLiteral("the meter sent nothing for 30 seconds"));
        return;
    }
    warn(QStringLiteral("The cable is connected but the meter has sent nothing for 30 seconds: "
                        "is it switched on? Still waiting."));
    // The meter may have been switched on after the start command went out: it goes out
    // again, with the baud rate before it.
    if (m_connectWanted && !m_downloadEnded)
        m_engine.toggleConnection();
}

void HeadlessRun::noReadWriteAccess(THidDevice *device, quint32 error)
{
    QString text = m_engine.cannotOpen(device, error);
    text.chop(1);
    warn(text + QStringLiteral("; a service without a login seat needs its user in the group "
                               "plugdev."));
    m_connectWanted = false;
    finish(NoPermission);
}

void HeadlessRun::noDevice(quint8)
{
    // A command found no device: the cable went away between two reports.
    m_connectWanted = false;
}
