#pragma once
// The logger without its face: the cable's device list, the connect sequence, the frame
// handler, the download and the recording rules. The main window and the headless run both
// drive one LoggerEngine; neither repeats what it does. Everything runs on the thread that
// owns the engine (the GUI thread), and every call into the face comes from inside the engine
// step that needs it, so the face sees the same order of events as the steps themselves.

#include "decode/FrameDecoder.h"
#include "decode/Protocol.h"
#include "recording/LocaleInfo.h"
#include "recording/RecordingState.h"
#include "usb/CableIds.h"
#include "usb/CableLock.h"
#include "usb/HidHandlers.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

class HidPlatform;
class MeasurementTable;
class THidDevice;
class THidDeviceController;

// What the handlers of a logger share.
struct LoggerState : Decode::AssemblyState, RecordingState
{
    QString DecimalSep;                          // the user locale's decimal separator
    bool PrintingNow = false;                    // the report preview is open
    QString FrameText;                           // the last instrument frame
    qint32 ConTickCount = 0;                     // watchdog tick divider
    qint32 RangeMax = Protocol::DefaultRangeMax; // upper end of the instrument's range
    qint32 RangeMin = Protocol::RangeMin;        // lower end of the instrument's range
    // The current Reading.
    QString ValueText;
    QString UnitGlyph;
    float ValueNum = 0.0f;
};

// What a logger reads of its surroundings, at the moment it matters.
class LoggerSettings
{
public:
    virtual ~LoggerSettings() = default;
    virtual bool recallData() const = 0; // connect downloads the stored readings
    virtual bool recordSI() const = 0;   // the sampling interval applies
    virtual bool repeatSet() const = 0;  // a repeated reading is stored too
    virtual QString intervalText() const = 0;
    virtual bool connectWanted() const = 0; // the connect button is down
    virtual int chosenRow() const = 0;      // the line of the device list in use
    virtual int baudRate() const { return 2400; }
    // Before a download: whether to empty the table first (the window asks).
    virtual bool clearBeforeDownload() { return false; }
};

class LoggerEngine : public QObject
{
    Q_OBJECT
public:
    // What the engine asks of the program around it: the settings, and the steps, which have
    // the engine's own behaviour unless the face routes them through controls of its own.
    // What happened, the engine says itself: its signals.
    class Face : public LoggerSettings
    {
    public:
        virtual void stopReadingStep(LoggerEngine &engine);
        virtual void baudRateStep(LoggerEngine &engine);
        virtual void startCommandStep(LoggerEngine &engine);
        virtual void sendUsbData(LoggerEngine &engine, quint8 value);
        virtual THidDataEvent dataHandler(LoggerEngine &engine);
    };

    LoggerEngine(LoggerState &state, Face &face, QObject *parent = nullptr);
    ~LoggerEngine() override;

    LoggerState &S;
    MeasurementTable *Table = nullptr;
    THidDeviceController *Controller = nullptr;
    // The device of each line of the device list, and the one selected for USB actions.
    QList<THidDevice *> Devices;
    QStringList Descriptions;
    THidDevice *Selected = nullptr;
    static inline const QString CableName = CableIds::ThermometerProduct;

    // The controller on platform; handlers: the face's own (the window's named handlers,
    // which call the engine), or the engine's (installOwnHandlers). Assigning the device
    // change handler lists the devices.
    void createController(HidPlatform *platform);
    void installOwnHandlers();
    static QString describe(THidDevice *device);
    // A vendor or product ID as the lists show it: 04D9.
    static QString hex4(quint16 id);
    // Why device cannot be opened (error: the platform's), and what mends it; a face may add
    // its own advice.
    QString cannotOpen(THidDevice *device, quint32 error) const;
    // The last line naming the cable, or -1.
    int cableRow() const;
    // The device being read (the one with a data handler), or none.
    THidDevice *connectedDevice() const;

    // The device list's line in use, or none.
    THidDevice *selectDevice();
    void releaseDeviceList();
    // The device list anew after any HID interface came or went; a connected cable found
    // again takes over the reading with the same numbering. Returns whether the connection
    // is still on.
    bool deviceChange();
    // The cable being read went away (a face that saw it go says so): its locks are given up
    // as the face wants, and connectionLost tells everyone (the journal marks it, the chart
    // breaks its line there).
    void dropConnection();
    bool listDevice(THidDevice *device, int index);

    // The one-button connect: on when the face wants it, else off. Connecting takes the
    // cable's locks (its node, and its ID when it has a stable one): a cable another logger
    // holds is not connected (cableInUse).
    void toggleConnection();
    // The listed devices as cables (node, serial number, port path, product, the list's line),
    // each with its ID among those listed now: built once as they are listed.
    const QList<CableIds::Cable> &cables() const { return m_cables; }
    // The cable of a line of the list, or of a listed device (an empty one for none).
    CableIds::Cable cableAt(int row) const { return m_cables.value(row); }
    CableIds::Cable cableOf(const THidDevice *device) const
    {
        return cableAt(int(Devices.indexOf(device)));
    }
    // The cable being read, if any.
    std::optional<CableIds::Cable> connectedCable() const;
    // Whether a cable is connected and read, as every face says it: from a connection made
    // until it is let go, lost or its cable gone (cableConnectedChanged as it changes).
    bool cableConnected() const { return m_cableConnected; }
    // The ID of the cable connected last (kept once it is lost, so that what is said of the
    // logger still names it), and of the first one this run connected to.
    const QString &lastCable() const { return m_lastCable; }
    const QString &firstCable() const { return m_firstCable; }
    // Not connected because the user let the cable go (disconnected on purpose), not lost.
    bool cableLetGo() const { return !m_cableConnected && m_letGo; }
    // What names the cable in a default MQTT id or a file name: its stable ID, empty for a
    // cable known only by its node.
    QString cableName(int row) const;
    // The whole lock sequence before anything is sent to cable: its ID's lock (of its node's
    // name for a cable known only by its node), then whether another process holds its node.
    // InUse: cableLock().holder() says who. Failed: the ID's lock cannot be used
    // (cableLock().error() says why); fatal() tells whether the connection must not go on
    // then (a stable ID whose lock is required).
    struct Claim
    {
        CableLock::Result Result = CableLock::Result::Unlocked;
        bool Fatal = false;
    };
    Claim claim(const CableIds::Cable &cable);
    CableLock &cableLock() { return m_cableLock; }
    // A run that waits for its own cable to come back keeps its ID locked meanwhile; a
    // window gives both locks up with the connection.
    void setKeepCableWhileAway(bool keep) { m_keepCableWhileAway = keep; }
    // Whether a cable with a stable ID is connected only once its ID is locked (the default);
    // else a lock file that cannot be used is passed over.
    void setIdLockRequired(bool required) { m_idLockRequired = required; }
    void stopReading();
    bool sendBaudRate();
    // A command report: byte 1 kind, byte 2 code. False without a device.
    bool sendCommand(Protocol::ReportKind kind, quint8 code);

    // Frame handling and recording.
    void handleReport(THidDevice *device, quint8 reportId, const quint8 *data, quint16 size);
    // A failed read, as a line of the USB log.
    void dataError(THidDevice *device, quint32 error);
    void showReading();
    void offerReading();
    void intervalTick();
    void watchdogTick();
    // Empties the table; numbering starts again.
    void clearTable();
    // The interval and watchdog timers, for a program without timers of its own.
    void startTimers();

signals:
    // A row was stored: its index in the table, its No, the number the chart plots, and the
    // moment it was captured (the Time column holds only its time of day).
    void rowStored(qint64 row, qint32 no, float value, const QDateTime &captured);
    // The value axis' top rose with the row just stored.
    void peakRaised(double maxY);
    // The stored rows reached the record limit; recording stays closed afterwards until the
    // table is emptied.
    void recordLimitReached();
    void tableCleared();
    void frameArrived(const QString &frameText);
    void identificationArrived(const QString &frameText);
    void readingShown(const Decode::DerivedReading &reading);
    void recordSIUnchecked(); // a download began: every stored reading is kept
    void downloadEnded();     // the instrument's end mark came and the stop command went out
    void usbLog(const QString &line);
    void connecting();
    void recallLocked(bool locked);
    void cableConnectedChanged(bool connected);
    // The cable is listed but may not be opened for reading and writing.
    void noReadWriteAccess(THidDevice *device, quint32 error);
    // A report had no device to go to (kind 1: a command, 2: the start command, 0: the baud
    // rate). The connection is off.
    void noDevice(quint8 kind);
    // The connection is off: the cable went away, or came back as something else.
    void connectionLost();
    // The cable being read is gone: unplugged (before any face has reacted), or lost from the
    // list. May come twice for one loss.
    void cableGone();
    // The cable asked for is another logger's (holder: its PID, 0 when unknown); not connected.
    void cableInUse(THidDevice *device, qint64 holder);
    // The lock of the cable's stable ID cannot be taken (why: the file and the reason); not
    // connected.
    void cableLockFailed(THidDevice *device, const QString &why);
    void watchdogTripped(); // no serial byte for the watchdog's time (about 30 s)
    void deviceListCleared();
    void deviceListed(const QString &description);
    void deviceChosen(int row);
    void deviceArrived(THidDevice *device);
    void deviceRemoved(THidDevice *device);
    // The engine's own device-change handler rebuilt the list (installOwnHandlers).
    void deviceListRebuilt(bool connected);

private:
    void onArrival(THidDevice *device);
    void onRemoval(THidDevice *device);
    void deviceChanged(QObject *sender);
    void logBytes(const quint8 *bytes, int count);
    void afterFrameCompleted(THidDevice *device);

    Face &m_face;
    CableLock m_cableLock;
    bool m_keepCableWhileAway = false;
    bool m_cableConnected = false, m_letGo = false;
    QString m_lastCable, m_firstCable;
    bool m_idLockRequired = true;
    QList<CableIds::Cable> m_cables; // of Devices, line by line
    TimeStamper m_timeStamper;
    QTimer m_watchdogTimer;
    QTimer m_intervalTimer;
};
