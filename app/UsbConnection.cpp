// The main window's side of the USB link: the device list, connecting and disconnecting, the
// command and baud-rate reports, the watchdog's messages and the USB log.

#include "app/Prompts.h"
#include "app/RD7F.h"
#include "recording/MeasurementTable.h"
#include "recording/Recorder.h"
#include "usb/HidControllerClass.h"

#include <QAction>
#include <algorithm>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>

namespace {
const QString NotConnected =
    QStringLiteral("USB interface cable is not securely connected, please check and re-try.");
}

void TFCOMM::connectUsb(HidPlatform *platform)
{
    connect(USBCon, &QPushButton::clicked, this, &TFCOMM::USBConClick);
    connect(START, &QAction::triggered, this, [this] {
        // The menu entry repeats what the button's present state selects.
        USBConClick();
    });
    connect(SendData, &QPushButton::clicked, this, &TFCOMM::SendDataClick);
    connect(SetFeature, &QPushButton::clicked, this, &TFCOMM::SetFeatureClick);
    connect(ReadBtn, &QToolButton::clicked, this, &TFCOMM::ReadBtnClick);

    HidCtl = new THidDeviceController(platform, this);
    HidCtl->SetOnArrival(THidPlugEvent(this, &TFCOMM::HidCtlArrival));
    HidCtl->SetOnRemoval(THidPlugEvent(this, &TFCOMM::HidCtlRemoval));
    HidCtl->SetOnDeviceDataError(THidDataErrorEvent(this, &TFCOMM::HidCtlDeviceDataError));
    HidCtl->SetOnEnumerate(THidEnumerateEvent(this, &TFCOMM::HidCtlEnumerate));
    HidCtl->SetOnDeviceChange(TNotifyEvent(this, &TFCOMM::HidCtlDeviceChange));
}

QString TFCOMM::DeviceDescription(THidDevice *HidDev)
{
    QString text = HidDev->ProductString();
    auto hex4 = [](quint16 v) { return QString::number(v, 16).rightJustified(4, '0').toUpper(); };
    if (text.isEmpty())
        text = QStringLiteral("Device VID=%1 PID=%2")
                   .arg(hex4(HidDev->VendorID()), hex4(HidDev->ProductID()));
    const QString serial = HidDev->SerialString();
    if (!serial.isEmpty())
        text += QStringLiteral(" (Serial=%1)").arg(serial);
    return text;
}

bool TFCOMM::selectDevice()
{
    SelectedHidDevice = nullptr;
    const int row = DevListBox->currentRow();
    if (DevListBox->count() > 0 && row >= 0 && row < DevListObjects.size())
        SelectedHidDevice = DevListObjects[row];
    return SelectedHidDevice != nullptr;
}

void TFCOMM::releaseDeviceList()
{
    for (THidDevice *dev : std::as_const(DevListObjects)) {
        if (HidCtl)
            HidCtl->ReleaseDevice(dev);
    }
    DevListObjects.clear();
    DevListBox->clear();
    // The released devices are gone; no USB action may reach them.
    SelectedHidDevice = nullptr;
}

void TFCOMM::HidCtlDeviceChange(QObject *)
{
    // The device being read while connected, if any: any HID device coming or going rebuilds
    // the list, and logging must not stop for that.
    QString connected;
    if (USBCon->isChecked())
        for (THidDevice *d : std::as_const(DevListObjects))
            if (d->DataHandler())
                connected = d->PnPInfo().DevInst;

    ReadBtn->setChecked(false);
    ReadBtnClick();
    releaseDeviceList();
    HidCtl->EnumerateDevices();
    int cable = -1;
    for (int i = 0; i < DevListBox->count(); ++i)
        if (DevListBox->item(i)->text() == QLatin1String("USB to Serial"))
            cable = i;
    DevListBox->setCurrentRow(cable);

    // The same cable is still there: its new device object takes over the reading, with the
    // same numbering, and nothing is sent (the instrument never stopped). Gone: the button
    // comes up, as when the cable is pulled.
    if (connected.isEmpty())
        return;
    const qsizetype again = std::find_if(DevListObjects.cbegin(), DevListObjects.cend(),
                                         [&](THidDevice *d) {
                                             return d->PnPInfo().DevInst == connected;
                                         }) -
                            DevListObjects.cbegin();
    if (again < DevListObjects.size() && DevListObjects[again]->ReadWriteAccess()) {
        DevListBox->setCurrentRow(int(again));
        selectDevice();
        SelectedHidDevice->SetDataHandler(THidDataEvent(this, &TFCOMM::HidDataReceived));
    } else {
        USBCon->setChecked(false);
    }
}

bool TFCOMM::HidCtlEnumerate(THidDevice *HidDev, int Idx)
{
    DevListBox->addItem(DeviceDescription(HidDev));
    THidDevice *claimed = nullptr;
    HidCtl->ClaimDeviceAt(claimed, Idx);
    DevListObjects.append(claimed);
    return true;
}

void TFCOMM::HidCtlArrival(THidDevice *HidDev)
{
    addUsbLogLine(QStringLiteral("Arrival of ") + DeviceDescription(HidDev));
}

void TFCOMM::HidCtlRemoval(THidDevice *HidDev)
{
    addUsbLogLine(QStringLiteral("Removal of ") + DeviceDescription(HidDev));
    USBCon->setChecked(false);
}

void TFCOMM::HidCtlDeviceDataError(THidDevice *HidDev, quint32 Error)
{
    const QString text =
        HidCtl && HidCtl->Platform() ? HidCtl->Platform()->errorText(Error) : QString();
    Q_UNUSED(HidDev);
    addUsbLogLine(QStringLiteral("READ ERROR: %1 (%2)").arg(text).arg(Error, 0, 16));
}

void TFCOMM::ReadBtnClick()
{
    if (!selectDevice() || !SelectedHidDevice->ReadWriteAccess())
        return;
    if (ReadBtn->isChecked())
        SelectedHidDevice->SetDataHandler(THidDataEvent(this, &TFCOMM::HidDataReceived));
    else
        SelectedHidDevice->SetDataHandler(THidDataEvent());
}

void TFCOMM::USBConClick()
{
    ReadBtn->click();
    SetFeature->click();
    S.IdleReportCount = 0;
    if (!selectDevice())
        return;
    if (!SelectedHidDevice->ReadWriteAccess()) {
        // The cable is listed (its identity is readable by anyone) but its node cannot be
        // opened for reading and writing: say why instead of seeming connected.
        if (USBCon->isChecked()) {
            USBCon->setChecked(false);
            const quint32 error = SelectedHidDevice->ReadWriteError();
            Prompts::current().message(
                QStringLiteral("Cannot open %1: %2. Install the udev rule (scripts/install) and "
                               "replug the cable.")
                    .arg(SelectedHidDevice->PnPInfo().DevicePath,
                         HidCtl->Platform() ? HidCtl->Platform()->errorText(error)
                                            : QString::number(error)),
                DialogKind::Warning, {DialogButton::OK});
        }
        return;
    }
    if (USBCon->isChecked()) {
        S.HidAccum.clear();
        USBtxt->clear();
        ReadBtn->click();
        SendData->click();
        if (!SelectedHidDevice)
            return; // the cable went away while the reports were sent
        SelectedHidDevice->SetDataHandler(THidDataEvent(this, &TFCOMM::HidDataReceived));
        RecallData->setEnabled(false);
        if (RecallData->isChecked()) {
            const int answer = Prompts::current().message(
                QStringLiteral("Are you sure that you want to delete this record?"),
                DialogKind::Confirmation, {DialogButton::Yes, DialogButton::No});
            if (answer == mrYes) {
                if (cds1->count() > 0)
                    cds1->clear();
                Recorder::reset(S);
                ChartReset();
            }
            SendUSBData(7);
        } else {
            SendUSBData(90);
        }
    } else {
        RecallData->setEnabled(true);
        SendUSBData(91);
        if (SelectedHidDevice)
            SelectedHidDevice->SetDataHandler(THidDataEvent());
    }
}

void TFCOMM::logBytes(const quint8 *bytes, int count)
{
    QString line;
    for (int i = 0; i < count; ++i)
        line += QStringLiteral("%1 ").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    addUsbLogLine(line);
}

bool TFCOMM::sendCommandReport(quint8 kind, quint8 code, const QString &noDevice,
                               DialogKind noDeviceKind)
{
    if (!selectDevice()) {
        Prompts::current().message(noDevice, noDeviceKind, {DialogButton::OK});
        USBCon->setChecked(false);
        return false;
    }
    // Zero-filled, as long as the device's output report: byte 1 the kind, byte 2 the code.
    const int length = SelectedHidDevice->Capabilities().OutputReportByteLength;
    QByteArray buffer(qMax(length, 3), '\0');
    buffer[1] = char(kind);
    buffer[2] = char(code);
    int count = 10;
    SelectedHidDevice->WriteReport(reinterpret_cast<const quint8 *>(buffer.constData()), length,
                                   count);
    // The log shows the bytes from byte 1 on, never more than the buffer holds.
    logBytes(reinterpret_cast<const quint8 *>(buffer.constData()) + 1,
             qBound(0, count, int(buffer.size()) - 1));
    return true;
}

void TFCOMM::SendUSBData(quint8 value)
{
    sendCommandReport(1, value, QStringLiteral("USB端未连接产品，请检查!"),
                      DialogKind::Information);
}

void TFCOMM::SendDataClick()
{
    sendCommandReport(2, 90, NotConnected, DialogKind::Warning);
}

void TFCOMM::SetFeatureClick()
{
    if (!selectDevice()) {
        Prompts::current().message(NotConnected, DialogKind::Warning, {DialogButton::OK});
        USBCon->setChecked(false);
        return;
    }
    quint8 buffer[10] = {};
    // Tested in this order, the last checked box wins.
    if (B9600->isChecked())
        buffer[1] = 0x80, buffer[2] = 0x25;
    if (B4800->isChecked())
        buffer[1] = 0xC0, buffer[2] = 0x12;
    if (B2400->isChecked())
        buffer[1] = 0x60, buffer[2] = 0x09;
    buffer[5] = 3;
    SelectedHidDevice->SendFeature(buffer, 10);
    // Bytes 1 to the end of the 10-byte report.
    logBytes(buffer + 1, 9);
}

void TFCOMM::afterFrameCompleted(THidDevice *HidDev)
{
    // A modal question opened for this frame may have outlived the device: then there is
    // nothing to close.
    if (!HidDev || HidDev->Released())
        return;
    HidDev->SetInputBufferCount(0);
    HidDev->CloseControl();
}

void TFCOMM::addUsbLogLine(const QString &line)
{
    // The log is never shown; it keeps the most recent lines only, so a days-long session
    // does not grow it without bound.
    if (HistoryListBox->count() >= HistoryLimit)
        delete HistoryListBox->takeItem(0);
    HistoryListBox->addItem(line);
    HistoryListBox->setCurrentRow(HistoryListBox->count() - 1);
}
