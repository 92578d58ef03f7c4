#include "session/LoggerEngine.h"

#include "usb/CableIds.h"

#include "decode/MeterCommand.h"
#include "decode/Protocol.h"

#include "recording/MeasurementTable.h"
#include "recording/Recorder.h"
#include "usb/CableIds.h"
#include "usb/HidControllerClass.h"
#include "usb/HidPlatform.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTime>
#include <algorithm>

void LoggerEngine::Face::stopReadingStep(LoggerEngine &engine)
{
    engine.stopReading();
}

void LoggerEngine::Face::baudRateStep(LoggerEngine &engine)
{
    engine.sendBaudRate();
}

void LoggerEngine::Face::startCommandStep(LoggerEngine &engine)
{
    engine.sendCommand(Protocol::ReportKind::Start, Decode::code(Decode::MeterCommand::Live));
}

void LoggerEngine::Face::sendUsbData(LoggerEngine &engine, quint8 value)
{
    engine.sendCommand(Protocol::ReportKind::Command, value);
}

THidDataEvent LoggerEngine::Face::dataHandler(LoggerEngine &engine)
{
    return THidDataEvent(&engine, &LoggerEngine::handleReport);
}

LoggerEngine::LoggerEngine(LoggerState &state, Face &face, QObject *parent)
    : QObject(parent), S(state), m_face(face)
{
    m_watchdogTimer.setInterval(Protocol::WatchdogTickMs);
    m_intervalTimer.setInterval(1000);
    connect(&m_watchdogTimer, &QTimer::timeout, this, &LoggerEngine::watchdogTick);
    connect(&m_intervalTimer, &QTimer::timeout, this, &LoggerEngine::intervalTick);
    // letGo: not connected because the user let the cable go, not because it was lost.
    const auto cable = [this](bool on, bool letGo) {
        m_letGo = letGo;
        if (on) {
            if (const QString id = cableOf(Selected).Id; !id.isEmpty()) {
                m_lastCable = id;
                if (m_firstCable.isEmpty())
                    m_firstCable = id;
            }
        }
        if (on != std::exchange(m_cableConnected, on))
            emit cableConnectedChanged(on);
    };
    connect(this, &LoggerEngine::recallLocked, this, [cable](bool on) { cable(on, !on); });
    connect(this, &LoggerEngine::cableGone, this, [cable] { cable(false, false); });
    connect(this, &LoggerEngine::connectionLost, this, [cable] { cable(false, false); });
}

LoggerEngine::~LoggerEngine()
{
    // The face may be gone already: release quietly.
    for (THidDevice *device : std::as_const(Devices))
        if (Controller)
            Controller->ReleaseDevice(device);
    delete Controller;
}

void LoggerEngine::startTimers()
{
    m_watchdogTimer.start();
    m_intervalTimer.start();
}

void LoggerEngine::createController(HidPlatform *platform)
{
    Controller = new THidDeviceController(platform);
}

void LoggerEngine::installOwnHandlers()
{
    Controller->SetOnArrival(THidPlugEvent(this, &LoggerEngine::onArrival));
    Controller->SetOnRemoval(THidPlugEvent(this, &LoggerEngine::onRemoval));
    Controller->SetOnEnumerate(THidEnumerateEvent(this, &LoggerEngine::listDevice));
    Controller->SetOnDeviceDataError(THidDataErrorEvent(this, &LoggerEngine::dataError));
    Controller->SetOnDeviceChange(TNotifyEvent(this, &LoggerEngine::deviceChanged));
}

void LoggerEngine::dataError(THidDevice *, quint32 error)
{
    const QString text =
        Controller->Platform() ? Controller->Platform()->errorText(error) : QString();
    emit usbLog(QStringLiteral("READ ERROR: %1 (%2)").arg(text).arg(error, 0, 16));
}

void LoggerEngine::onArrival(THidDevice *device)
{
    emit deviceArrived(device);
}

void LoggerEngine::onRemoval(THidDevice *device)
{
    if (device->DataHandler())
        emit cableGone();
    emit deviceRemoved(device);
}

void LoggerEngine::deviceChanged(QObject *)
{
    emit deviceListRebuilt(deviceChange());
}

QString LoggerEngine::hex4(quint16 id)
{
    return QString::number(id, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

QString LoggerEngine::cannotOpen(THidDevice *device, quint32 error) const
{
    const HidPlatform *platform = Controller ? Controller->Platform() : nullptr;
    return QStringLiteral("Cannot open %1: %2. Install the udev rule (scripts/install) and "
                          "replug the cable.")
        .arg(device->PnPInfo().DevicePath,
             platform ? platform->errorText(error) : QString::number(error));
}

QString LoggerEngine::describe(THidDevice *device)
{
    QString text = device->ProductString();
    if (text.isEmpty())
        text = QStringLiteral("Device VID=%1 PID=%2")
                   .arg(hex4(device->VendorID()), hex4(device->ProductID()));
    const QString serial = device->SerialString();
    if (!serial.isEmpty())
        text += QStringLiteral(" (Serial=%1)").arg(serial);
    return text;
}

int LoggerEngine::cableRow() const
{
    return int(Descriptions.lastIndexOf(CableName));
}

THidDevice *LoggerEngine::selectDevice()
{
    Selected = nullptr;
    const int row = m_face.chosenRow();
    if (row >= 0 && row < Devices.size())
        Selected = Devices[row];
    return Selected;
}

void LoggerEngine::releaseDeviceList()
{
    for (THidDevice *device : std::as_const(Devices))
        if (Controller)
            Controller->ReleaseDevice(device);
    Devices.clear();
    Descriptions.clear();
    m_cables.clear();
    emit deviceListCleared();
    // The released devices are gone; no USB action may reach them.
    Selected = nullptr;
}

bool LoggerEngine::listDevice(THidDevice *device, int index)
{
    const QString description = describe(device);
    // The cable as it is now, read once: asking the device again later would open and close
    // its channel in the middle of a connection.
    CableIds::Cable cable =
        CableIds::fromProperties(device->PnPInfo().DevicePath, device->PnPInfo().Properties);
    if (cable.Serial.isEmpty())
        cable.Serial = device->SerialString().trimmed();
    cable.Product = device->ProductString();
    cable.Description = description;
    m_cables << cable;
    CableIds::assignIds(m_cables);
    Descriptions.append(description);
    emit deviceListed(description);
    THidDevice *claimed = nullptr;
    Controller->ClaimDeviceAt(claimed, index);
    Devices.append(claimed);
    return true;
}

bool LoggerEngine::deviceChange()
{
    // The device being read while connected, if any: any HID device coming or going rebuilds
    // the list, and logging must not stop for that.
    QString connected;
    if (m_face.connectWanted())
        if (const THidDevice *d = connectedDevice())
            connected = d->PnPInfo().DevInst;

    m_face.stopReadingStep(*this);
    releaseDeviceList();
    Controller->EnumerateDevices();
    emit deviceChosen(cableRow());

    // The same cable is still there: its new device object takes over the reading, with the
    // same numbering, and nothing is sent (the instrument never stopped). Gone: the
    // connection is off, as when the cable is pulled.
    if (connected.isEmpty())
        return false;
    const auto again = std::find_if(Devices.cbegin(), Devices.cend(), [&](THidDevice *d) {
        return d->PnPInfo().DevInst == connected;
    });
    if (again != Devices.cend() && (*again)->ReadWriteAccess()) {
        emit deviceChosen(int(again - Devices.cbegin()));
        if (selectDevice()) {
            // The new device object reads from the next report on: a frame half assembled
            // from the old one's reports would join bytes that belong to no frame.
            S.HidAccum.clear();
            S.FramePending = false;
            Selected->SetDataHandler(m_face.dataHandler(*this));
            return true;
        }
    }
    dropConnection();
    return false;
}

void LoggerEngine::dropConnection()
{
    m_cableLock.releaseNode();
    if (!m_keepCableWhileAway)
        m_cableLock.release();
    emit cableGone();
    emit connectionLost();
}

THidDevice *LoggerEngine::connectedDevice() const
{
    for (THidDevice *d : Devices)
        if (d->DataHandler())
            return d;
    return nullptr;
}

void LoggerEngine::stopReading()
{
    if (selectDevice() && Selected->ReadWriteAccess())
        Selected->SetDataHandler(THidDataEvent());
}

void LoggerEngine::toggleConnection()
{
    // One logger per cable, across every process and user: nothing, not even the baud rate
    // (which resets the cable), goes to a cable another logger uses. Its node is locked once
    // this logger's own reader runs (see CableLock::lockNode).
    QString node;
    auto refuse = [this] {
        const qint64 holder = m_cableLock.holder();
        if (!m_keepCableWhileAway)
            m_cableLock.release();
        emit cableInUse(Selected, holder);
    };
    if (m_face.connectWanted() && selectDevice() && Selected->ReadWriteAccess()) {
        node = Selected->PnPInfo().DevicePath;
        const Claim claimed = claim(cableOf(Selected));
        if (claimed.Result == CableLock::Result::InUse) {
            refuse();
            return;
        }
        // Without its ID's lock a cable that stays known by its ID could be taken by a second
        // logger while it is away: not connected, unless the face chose to go on without.
        if (claimed.Fatal) {
            const QString why = m_cableLock.error();
            if (!m_keepCableWhileAway)
                m_cableLock.release();
            emit cableLockFailed(Selected, why);
            return;
        }
    }
    m_face.stopReadingStep(*this);
    m_face.baudRateStep(*this);
    S.IdleReportCount = 0;
    if (!selectDevice())
        return;
    if (!Selected->ReadWriteAccess()) {
        emit noReadWriteAccess(Selected, Selected->ReadWriteError());
        return;
    }
    if (m_face.connectWanted()) {
        if (node.isEmpty())
            node = Selected->PnPInfo().DevicePath;
        S.HidAccum.clear();
        emit connecting();
        m_face.stopReadingStep(*this);
        m_face.startCommandStep(*this);
        if (!Selected)
            return; // the cable went away while the reports were sent
        Selected->SetDataHandler(m_face.dataHandler(*this));
        if (m_cableLock.lockNode(node) == CableLock::Result::InUse) {
            // Another logger took the cable in the meantime: it keeps it.
            Selected->SetDataHandler(THidDataEvent());
            refuse();
            return;
        }
        emit recallLocked(true);
        if (m_face.recallData()) {
            if (m_face.clearBeforeDownload())
                clearTable();
            m_face.sendUsbData(*this, Decode::code(Decode::MeterCommand::Download));
        } else {
            m_face.sendUsbData(*this, Decode::code(Decode::MeterCommand::Live));
        }
    } else {
        emit recallLocked(false);
        m_face.sendUsbData(*this, Decode::code(Decode::MeterCommand::Stop));
        if (Selected)
            Selected->SetDataHandler(THidDataEvent());
        if (!m_keepCableWhileAway)
            m_cableLock.release();
    }
}

std::optional<CableIds::Cable> LoggerEngine::connectedCable() const
{
    if (const THidDevice *d = connectedDevice())
        return cableOf(d);
    return std::nullopt;
}

LoggerEngine::Claim LoggerEngine::claim(const CableIds::Cable &cable)
{
    Claim c;
    c.Result = m_cableLock.claim(cable.Id, cable.Node);
    c.Fatal = c.Result == CableLock::Result::Failed && cable.stable() && m_idLockRequired;
    return c;
}

QString LoggerEngine::cableName(int row) const
{
    const CableIds::Cable c = cableAt(row);
    return c.stable() ? c.Id : QString();
}

bool LoggerEngine::sendBaudRate()
{
    if (!selectDevice()) {
        emit noDevice(quint8(Protocol::ReportKind::BaudRate));
        return false;
    }
    std::array<quint8, Protocol::FeatureReportLength> buffer =
        Protocol::baudRateReport(m_face.baudRate());
    Selected->SendFeature(buffer.data(), Protocol::FeatureReportLength);
    // Bytes 1 to the end of the report.
    logBytes(buffer.data() + 1, Protocol::FeatureReportLength - 1);
    return true;
}

bool LoggerEngine::sendCommand(Protocol::ReportKind kind, quint8 code)
{
    if (!selectDevice()) {
        emit noDevice(quint8(kind));
        return false;
    }
    const int length = Selected->Capabilities().OutputReportByteLength;
    const QByteArray buffer = Protocol::commandReport(kind, code, length);
    int count = 10;
    Selected->WriteReport(reinterpret_cast<const quint8 *>(buffer.constData()), length, count);
    // The log shows the bytes from byte 1 on, never more than the buffer holds.
    logBytes(reinterpret_cast<const quint8 *>(buffer.constData()) + 1,
             qBound(0, count, int(buffer.size()) - 1));
    return true;
}

void LoggerEngine::logBytes(const quint8 *bytes, int count)
{
    QString line;
    for (int i = 0; i < count; ++i)
        line += QStringLiteral("%1 ").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    emit usbLog(line);
}

void LoggerEngine::handleReport(THidDevice *device, quint8 reportId, const quint8 *data,
                                quint16 size)
{
    const Decode::ReportResult r = Decode::assembleReport(S, reportId, data, size);
    if (r.CarriedSerial) {
        emit usbLog(r.LogLine);
        return;
    }
    if (!r.FrameCompleted)
        return;

    S.FrameText = r.FrameText;
    emit frameArrived(S.FrameText);
    const Decode::FrameDispatch d =
        Decode::dispatchFrame(S.FrameText, m_face.recallData(), S.PrintingNow);
    if (d.UncheckRecordSI)
        emit recordSIUnchecked();
    if (d.Show)
        showReading();
    if (d.SendStop) {
        m_face.sendUsbData(*this, Decode::code(Decode::MeterCommand::Stop));
        emit downloadEnded();
    }
    if (d.Identification)
        emit identificationArrived(S.FrameText);
    if (d.RangeMax) {
        S.RangeMax = *d.RangeMax;
        S.RangeMin = Protocol::RangeMin;
    }
    afterFrameCompleted(device);
}

void LoggerEngine::afterFrameCompleted(THidDevice *device)
{
    // A modal question opened for this frame may have outlived the device: then there is
    // nothing to close.
    if (!device || device->Released())
        return;
    device->SetInputBufferCount(0);
    device->CloseControl();
}

void LoggerEngine::showReading()
{
    S.ConTickCount = 0;
    const Decode::DerivedReading r =
        Decode::deriveReading(S.FrameText, S.DecimalSep, S.RangeMax, S.RangeMin);
    emit readingShown(r);
    S.UnitGlyph = r.UnitGlyph;
    S.ValueText = r.ValueText;
    // A frame without an integer value is painted but neither recorded nor plotted.
    if (r.Kind == Decode::ValueKind::NoValue)
        return;
    if (r.Kind == Decode::ValueKind::Number)
        S.ValueNum = r.Value;
    offerReading();
}

void LoggerEngine::offerReading()
{
    const Recorder::Decision d = Recorder::offer(S, S.ValueText, S.UnitGlyph, m_face.recordSI(),
                                                 m_face.repeatSet(), m_face.intervalText());
    if (d.Store && Table) {
        // One clock reading for the row: its Time text and the full capture time agree.
        const QDateTime captured = QDateTime::currentDateTime();
        QElapsedTimer steady;
        steady.start();
        Table->appendRow({d.No, m_timeStamper.text(captured.time()), S.ValueText, S.UnitGlyph,
                          captured, steady.msecsSinceReference()});
        const qint64 row = Table->count() - 1;
        const std::optional<double> peak = Recorder::raisePeak(S, S.ValueNum);
        emit rowStored(row, Table->no(row).value_or(0), S.ValueNum, captured);
        if (peak)
            emit peakRaised(*peak);
    }
    if (Recorder::limitMessageDue(S)) {
        emit recordLimitReached();
        Recorder::limitAnswered(S);
    }
}

void LoggerEngine::intervalTick()
{
    Recorder::tick(S, m_face.recordSI());
}

void LoggerEngine::watchdogTick()
{
    if (S.ConTickCount == Protocol::WatchdogTicks) {
        if (S.IdleReportCount >= Protocol::WatchdogIdleReports) {
            S.IdleReportCount = 0;
            emit watchdogTripped();
        }
        S.ConTickCount = 0;
    } else {
        ++S.ConTickCount;
    }
}

void LoggerEngine::clearTable()
{
    if (Table && Table->count() > 0)
        Table->clear();
    Recorder::reset(S);
    emit tableCleared();
}
