// The main window's side of the USB link: the device list, connecting and disconnecting, the
// command and baud-rate reports, the watchdog's messages and the USB log. The engine does the
// work; these handlers and the engine's questions to the window are the glue.

#include "app/Prompts.h"
#include "app/RD7F.h"
#include "decode/MeterCommand.h"
#include "decode/Protocol.h"
#include "recording/MeasurementTable.h"
#include "usb/HidControllerClass.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
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
        // Ctrl+A is a press of the button: it connects when the button is up and disconnects
        // when it is down. (Repeating what the button's present state selects, without
        // pressing it, would make it a disconnect while nothing is connected: a key that
        // never connects.)
        if (USBCon->isEnabled())
            USBCon->click();
    });
    connect(SendData, &QPushButton::clicked, this, &TFCOMM::SendDataClick);
    connect(SetFeature, &QPushButton::clicked, this, &TFCOMM::SetFeatureClick);
    connect(ReadBtn, &QToolButton::clicked, this, &TFCOMM::ReadBtnClick);

    Engine.createController(platform);
    HidCtl->SetOnArrival(THidPlugEvent(this, &TFCOMM::HidCtlArrival));
    HidCtl->SetOnRemoval(THidPlugEvent(this, &TFCOMM::HidCtlRemoval));
    HidCtl->SetOnDeviceDataError(THidDataErrorEvent(this, &TFCOMM::HidCtlDeviceDataError));
    HidCtl->SetOnEnumerate(THidEnumerateEvent(this, &TFCOMM::HidCtlEnumerate));
    HidCtl->SetOnDeviceChange(TNotifyEvent(this, &TFCOMM::HidCtlDeviceChange));
}

QString TFCOMM::DeviceDescription(THidDevice *HidDev)
{
    return LoggerEngine::describe(HidDev);
}

void TFCOMM::HidCtlDeviceChange(QObject *)
{
    Engine.deviceChange();
}

bool TFCOMM::HidCtlEnumerate(THidDevice *HidDev, int Idx)
{
    return Engine.listDevice(HidDev, Idx);
}

void TFCOMM::HidCtlArrival(THidDevice *HidDev)
{
    addUsbLogLine(QStringLiteral("Arrival of ") + DeviceDescription(HidDev));
}

void TFCOMM::HidCtlRemoval(THidDevice *HidDev)
{
    addUsbLogLine(QStringLiteral("Removal of ") + DeviceDescription(HidDev));
    // Only the cable being read ends the connection: a keyboard or a mouse unplugged during
    // an overnight recording must not stop it.
    const THidDevice *connected = Engine.connectedDevice();
    if (!connected || connected == HidDev ||
        connected->PnPInfo().DevInst == HidDev->PnPInfo().DevInst)
        USBCon->setChecked(false);
    // The cable being read was pulled: a lost connection, which the journal, the chart and
    // the report say as such (not as a connection made again later).
    if (connected &&
        (connected == HidDev || connected->PnPInfo().DevInst == HidDev->PnPInfo().DevInst))
        Engine.dropConnection();
}

void TFCOMM::HidCtlDeviceDataError(THidDevice *HidDev, quint32 Error)
{
    Engine.dataError(HidDev, Error);
}

void TFCOMM::ReadBtnClick()
{
    // ReadBtn is never down: every click stops reading on the selected device.
    if (ReadBtn->isChecked()) {
        if (Engine.selectDevice() && SelectedHidDevice->ReadWriteAccess())
            SelectedHidDevice->SetDataHandler(THidDataEvent(this, &TFCOMM::HidDataReceived));
        return;
    }
    Engine.stopReading();
}

void TFCOMM::USBConClick()
{
    Engine.toggleConnection();
}

void TFCOMM::SendUSBData(quint8 value)
{
    Engine.sendCommand(Protocol::ReportKind::Command, value);
}

void TFCOMM::SendDataClick()
{
    Engine.sendCommand(Protocol::ReportKind::Start, Decode::code(Decode::MeterCommand::Live));
}

void TFCOMM::SetFeatureClick()
{
    Engine.sendBaudRate();
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

// The engine's questions, answered from the window's controls.

bool TFCOMM::recallData() const
{
    return RecallData->isChecked();
}

bool TFCOMM::connectWanted() const
{
    return USBCon->isChecked();
}

int TFCOMM::chosenRow() const
{
    return DevListBox->count() > 0 ? DevListBox->currentRow() : -1;
}

int TFCOMM::baudRate() const
{
    // Tested in the order 9600, 4800, 2400: the last checked box wins.
    if (B2400->isChecked())
        return 2400;
    if (B4800->isChecked())
        return 4800;
    if (B9600->isChecked())
        return 9600;
    return 0;
}

void TFCOMM::stopReadingStep()
{
    ReadBtn->click();
}

void TFCOMM::baudRateStep()
{
    SetFeature->click();
}

void TFCOMM::startCommandStep()
{
    SendData->click();
}

void TFCOMM::sendUsbData(quint8 value)
{
    SendUSBData(value);
}

THidDataEvent TFCOMM::dataHandler()
{
    return THidDataEvent(this, &TFCOMM::HidDataReceived);
}

bool TFCOMM::clearBeforeDownload()
{
    return Prompts::current().message(
               QStringLiteral("Are you sure that you want to delete this record?"),
               DialogKind::Confirmation, {DialogButton::Yes, DialogButton::No}) == mrYes;
}

void TFCOMM::usbLog(const QString &line)
{
    addUsbLogLine(line);
}

void TFCOMM::connecting()
{
    USBtxt->clear();
}

void TFCOMM::recallLocked(bool locked)
{
    RecallData->setEnabled(!locked);
    showRecordedCable(locked);
}

void TFCOMM::noReadWriteAccess(THidDevice *device, quint32 error)
{
    // The cable is listed (its identity is readable by anyone) but its node cannot be opened
    // for reading and writing: say why instead of seeming connected.
    if (!USBCon->isChecked())
        return;
    USBCon->setChecked(false);
    Prompts::current().message(Engine.cannotOpen(device, error), DialogKind::Warning,
                               {DialogButton::OK});
}

void TFCOMM::cableInUse(THidDevice *device, qint64 holder)
{
    // Another logger (a window, a service, another user's) records this cable: the message
    // for a cable that cannot be used, and who has it.
    USBCon->setChecked(false);
    Prompts::current().message(
        NotConnected + QStringLiteral("\n\nThe cable %1 is in use by %2.")
                           .arg(Engine.cableOf(device).Id,
                                holder > 0 ? QStringLiteral("another logger (PID %1)").arg(holder)
                                           : QStringLiteral("another logger")),
        DialogKind::Warning, {DialogButton::OK});
}

void TFCOMM::cableLockFailed(THidDevice *device, const QString &why)
{
    // Without the lock of its ID, another logger could take the cable while it is away.
    USBCon->setChecked(false);
    Prompts::current().message(
        NotConnected + QStringLiteral("\n\nThe lock of the cable %1 cannot be taken (%2). "
                                      "Start the program with --no-id-lock to record it "
                                      "without that lock.")
                           .arg(Engine.cableOf(device).Id, why),
        DialogKind::Warning, {DialogButton::OK});
}

void TFCOMM::buildCableMenu()
{
    CableMenu = ToolsMenu->addMenu(QStringLiteral("Cable"));
    CableMenu->setObjectName(QStringLiteral("CableMenu"));
    connect(CableMenu, &QMenu::aboutToShow, this, &TFCOMM::fillCableMenu);
    fillCableMenu();
    CableLabel = new QLabel(menuBar());
    CableLabel->setObjectName(QStringLiteral("CableLabel"));
    CableLabel->setContentsMargins(0, 0, 8, 0);
    menuBar()->setCornerWidget(CableLabel, Qt::TopRightCorner);
    CableLabel->hide();
}

void TFCOMM::fillCableMenu()
{
    CableMenu->clear();
    // The thermometer cables listed now, with or without a serial number.
    const QList<CableIds::Cable> &cables = Engine.cables();
    const bool connected = USBCon->isChecked();
    auto entry = [&](const QString &text, const QString &choice, bool checked) {
        QAction *a = CableMenu->addAction(text);
        a->setCheckable(true);
        a->setChecked(checked);
        // Another cable is chosen with the connection off: the recording stays on one.
        a->setEnabled(!connected);
        connect(a, &QAction::triggered, this, [this, choice] { chooseCable(choice); });
    };
    entry(QStringLiteral("The last \"%1\" cable").arg(LoggerEngine::CableName), QString(),
          m_cableChoice.isEmpty());
    CableMenu->addSeparator();
    for (int i = 0; i < cables.size(); ++i) {
        if (!cables[i].isThermometer())
            continue;
        entry(QStringLiteral("%1   %2").arg(cables[i].Id, cables[i].Node), cables[i].Id,
              !m_cableChoice.isEmpty() && CableIds::find(cables, m_cableChoice) == i);
    }
}

void TFCOMM::chooseCable(const QString &want)
{
    m_cableChoice = want;
    deviceChosen(Engine.cableRow());
}

void TFCOMM::showRecordedCable(bool connected)
{
    const int row = chosenRow();
    const QString id = connected && row >= 0 ? Engine.cableAt(row).Id : QString();
    CableLabel->setText(id.isEmpty() ? QString() : QStringLiteral("Cable %1").arg(id));
    CableLabel->setVisible(!id.isEmpty());
}

void TFCOMM::noDevice(quint8 kind)
{
    if (kind == quint8(Protocol::ReportKind::Command))
        Prompts::current().message(QStringLiteral("USB端未连接产品，请检查!"),
                                   DialogKind::Information, {DialogButton::OK});
    else
        Prompts::current().message(NotConnected, DialogKind::Warning, {DialogButton::OK});
    USBCon->setChecked(false);
}

void TFCOMM::deviceListCleared()
{
    DevListBox->clear();
}

void TFCOMM::deviceListed(const QString &description)
{
    DevListBox->addItem(description);
}

void TFCOMM::deviceChosen(int row)
{
    // A cable chosen from the Cable menu is taken wherever it is listed now, and no other.
    if (!m_cableChoice.isEmpty())
        row = CableIds::find(Engine.cables(), m_cableChoice);
    DevListBox->setCurrentRow(row);
}

void TFCOMM::connectionLost()
{
    USBCon->setChecked(false);
    showRecordedCable(false);
}

void TFCOMM::watchdogTripped()
{
    USBCon->setChecked(false);
    if (SelectedHidDevice)
        SelectedHidDevice->SetDataHandler(THidDataEvent());
    Prompts::current().message(QStringLiteral("USB interface cable is securely connected, "
                                              "please check if the meter is ready."),
                               DialogKind::Warning, {DialogButton::OK});
}
