#pragma once
// HID interfaces as objects: THidDeviceController keeps one THidDevice per interface, tracks
// arrivals and removals with a full rescan, lets interfaces be claimed and released, and hands
// its default handlers to the devices. A claimed device with a data handler runs one reader
// thread whose reports the GUI thread hands to the handler in order. When objects die and when
// handlers run is HidDispatch's rule (usb/HidDispatch.h).

#include "usb/HidHandlers.h"
#include "usb/HidPlatform.h"

#include <QList>
#include <QObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

class THidDeviceController;

class EControllerError : public std::runtime_error
{
public:
    explicit EControllerError(const QString &message)
        : std::runtime_error(message.toStdString()), Message(message)
    {}
    QString Message;
};

// Plug-and-play properties of one interface, read once when it is scanned.
struct THidPnPInfo
{
    QString DevInst;    // identity of the device node
    QString DevicePath; // every channel is opened by it
    QMap<QString, QString> Properties;
};

class THidDeviceReadThread;

class THidDevice
{
public:
    // Throws EControllerError "device cannot be opened" / "device cannot be identified".
    THidDevice(HidPlatform *platform, std::shared_ptr<THidPnPInfo> info,
               THidDeviceController *controller);
    ~THidDevice();
    THidDevice(const THidDevice &) = delete;
    THidDevice &operator=(const THidDevice &) = delete;

    quint16 VendorID() const { return m_attributes.VendorID; }
    quint16 ProductID() const { return m_attributes.ProductID; }
    quint16 VersionNumber() const { return m_attributes.VersionNumber; }
    const THidPnPInfo &PnPInfo() const { return *m_info; }
    bool Plugged() const { return m_plugged; }
    bool Claimed() const { return m_claimed; }
    bool InEvent() const { return m_inEvent; }
    bool ReadWriteAccess() const { return m_readWriteAccess; }
    // Why the last read/write open failed (a system error code), 0 when it did not.
    quint32 ReadWriteError() const { return m_readWriteError; }
    bool HasReader() const { return m_reader != nullptr; }
    // Released by its holder or dropped by the controller: it does nothing any more and is
    // freed once no handler call is on the stack.
    bool Released() const { return m_released; }
    // Plugged and either claimed or inside an event: its channels may be opened.
    bool Accessible() const { return m_plugged && !m_released && (m_claimed || m_inEvent); }

    QString ProductString();
    QString SerialString();
    HidCaps Capabilities();
    bool WriteReport(const quint8 *buffer, int length, int &written);
    bool SendFeature(const quint8 *buffer, int length);
    void SetInputBufferCount(int n);
    int InputBufferCount() const { return m_inputBufferCount; }
    bool OpenControl();
    void CloseControl();
    bool ControlOpen() const { return m_control != HidPlatform::InvalidHandle; }

    void SetDataHandler(const THidDataEvent &handler);
    const THidDataEvent &DataHandler() const { return m_dataHandler; }
    THidDataErrorEvent DataErrorHandler;
    THidPlugEvent UnplugHandler;

    int ReadWaitTime() const { return m_readWaitTime; }
    void SetReadWaitTime(int ms);

private:
    friend class THidDeviceController;
    friend class THidDeviceReadThread;

    bool openControlChannel();
    void CloseAll();
    void MarkUnplugged();
    void startReaderIfPossible();
    void stopReader();

    HidPlatform *m_platform;
    std::shared_ptr<THidPnPInfo> m_info;
    THidDeviceController *m_controller;
    std::atomic<bool> m_plugged{true};
    std::atomic<bool> m_claimed{false};
    std::atomic<bool> m_inEvent{false};
    std::atomic<bool> m_released{false};
    bool m_readWriteAccess = false;
    quint32 m_readWriteError = 0;
    HidPlatform::Handle m_control = HidPlatform::InvalidHandle;
    HidAttributes m_attributes;
    QString m_product;
    QString m_serial;
    bool m_capsFetched = false;
    HidCaps m_caps;
    int m_inputBufferCount = 0;
    std::atomic<int> m_readWaitTime{100};
    THidDataEvent m_dataHandler;
    std::unique_ptr<THidDeviceReadThread> m_reader;
};

// One per claimed device with a data handler. Its thread reads input reports into a queue of
// its own and never waits for the GUI thread, so a busy window does not make the kernel drop
// reports. The GUI thread drains the queue: one handler call per report, in order, none after
// Stop(). Who may delete it, and when, is HidDispatch's rule.
class THidDeviceReadThread : public QObject
{
    Q_OBJECT
public:
    // Reports beyond this many, unhandled, are dropped and counted (about three hours of the
    // cable's idle reports).
    static constexpr int QueueLimit = 1'000'000;

    THidDeviceReadThread(THidDevice *device, int reportLength);
    ~THidDeviceReadThread() override;

    void start();
    // GUI thread, any depth, any number of times: no handler call for this reader comes after
    // it returns; the thread has ended.
    void Stop();
    bool Stopped() const { return m_stopped; }
    quint32 ErrorCode() const { return m_errorCode; }
    // GUI thread: closes the read channel at the reader's next pass (the device is unplugged).
    void RequestChannelClose();
    // Reports dropped because the queue was full, since the last call.
    qint64 takeOverflow();

private:
    struct Item
    {
        QByteArray report; // report ID in byte 0; empty for an error
        quint32 error = 0;
    };
    void run();
    void post(Item item);
    void pauseAfterFailure(int ms);
    Q_INVOKABLE void drain(); // GUI thread
    void closeChannel();

    THidDevice *m_device;
    HidPlatform *m_platform;
    const int m_reportLength;
    std::atomic<bool> m_terminate{false};
    std::atomic<bool> m_closeRequested{false};
    bool m_gone = false; // reader thread only
    std::atomic<HidPlatform::Handle> m_readChannel{HidPlatform::InvalidHandle};
    std::atomic<quint32> m_errorCode{0};
    std::thread m_thread;
    bool m_stopped = false; // GUI thread only

    // Guards the queue and the two fields after it, between the reader and the GUI thread.
    std::mutex m_mutex;
    std::condition_variable m_wake; // a paused reader wakes for Stop()
    std::deque<Item> m_queue;
    bool m_drainPosted = false; // a drain is posted or running; the next report need not post
    qint64 m_overflow = 0;
};

class THidDeviceController : public QObject
{
    Q_OBJECT
public:
    // Throws EControllerError "Only one THidDeviceController allowed per program".
    explicit THidDeviceController(HidPlatform *platform, QObject *owner = nullptr);
    ~THidDeviceController() override;

    // Rescans now, or once the handler call on the stack has returned (HidDispatch).
    void DeviceChange();
    int EnumerateDevices();
    bool ClaimDeviceAt(THidDevice *&HidDev, int Idx);
    void ReleaseDevice(THidDevice *HidDev);

    void SetOnDeviceChange(const TNotifyEvent &h);
    void SetOnDeviceData(const THidDataEvent &h);
    void SetOnDeviceDataError(const THidDataErrorEvent &h);
    void SetOnDeviceUnplug(const THidPlugEvent &h);
    void SetOnEnumerate(const THidEnumerateEvent &h) { m_onEnumerate = h; }
    void SetOnArrival(const THidPlugEvent &h) { m_onArrival = h; }
    void SetOnRemoval(const THidPlugEvent &h) { m_onRemoval = h; }
    const THidDataEvent &OnDeviceData() const { return m_onDeviceData; }
    const THidDataErrorEvent &OnDeviceDataError() const { return m_onDeviceDataError; }
    const THidPlugEvent &OnDeviceUnplug() const { return m_onDeviceUnplug; }

    int DevThreadSleepTime() const { return m_devThreadSleepTime; }
    void SetDevThreadSleepTime(int ms);
    static QString Version() { return QStringLiteral("1.0.22"); }

    const QList<THidDevice *> &Devices() const { return m_list; }
    int AvailableCount() const { return m_availableCount; }
    int ClaimedCount() const { return m_claimedCount; }
    int UnpluggedCount() const { return m_unpluggedCount; }
    HidPlatform *Platform() const { return m_platform; }

private:
    friend class THidDevice;
    QList<THidDevice *> ScanInterfaces();
    void destroyDevice(THidDevice *dev);
    void recount();

    HidPlatform *m_platform;
    THidPlugEvent m_onArrival;
    TNotifyEvent m_onDeviceChange;
    THidEnumerateEvent m_onEnumerate;
    THidDataEvent m_onDeviceData;
    THidDataErrorEvent m_onDeviceDataError;
    THidPlugEvent m_onDeviceUnplug;
    THidPlugEvent m_onRemoval;
    bool m_changeReported = false;
    int m_devThreadSleepTime = 100;
    QList<THidDevice *> m_list;
    int m_availableCount = 0;
    int m_claimedCount = 0;
    int m_unpluggedCount = 0;
    bool m_rescanWaiting = false;
};
