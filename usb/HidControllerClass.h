#pragma once
// HID interfaces as objects: THidDeviceController keeps one THidDevice per interface, tracks
// arrivals and removals with a full rescan, lets interfaces be claimed and released, and hands
// its default handlers to the devices. A claimed device with a data handler runs one reader
// thread that hands every input report to the GUI thread and waits until it has been handled.

#include "usb/HidHandlers.h"
#include "usb/HidPlatform.h"

#include <QList>
#include <QObject>
#include <atomic>
#include <condition_variable>
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
    bool HasReader() const { return m_reader != nullptr; }
    // Plugged and either claimed or inside an event: its channels may be opened.
    bool Accessible() const { return m_plugged && (m_claimed || m_inEvent); }

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
    bool m_readWriteAccess = false;
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

// One per claimed device with a data handler. It reads one report at a time and hands it to the
// GUI thread synchronously, so the handler reads the reader's own buffer and no report waits in
// a queue.
class THidDeviceReadThread : public QObject
{
    Q_OBJECT
public:
    THidDeviceReadThread(THidDevice *device, int reportLength);
    ~THidDeviceReadThread() override;

    void start();
    // GUI thread: sets the terminate flag and waits, serving a pending hand-off meanwhile.
    void Stop();
    quint32 ErrorCode() const { return m_errorCode; }
    // GUI thread: closes the read channel at the reader's next pass (the device is unplugged).
    void RequestChannelClose();
    bool Serving() const { return m_serving; }

private:
    void run();
    enum class Kind
    {
        Data,
        Error
    };
    void handOff(Kind kind, quint8 reportId, quint16 size, quint32 error);
    void serve(); // GUI thread
    void closeChannel();

    THidDevice *m_device;
    HidPlatform *m_platform;
    QByteArray m_reportBuffer;
    std::atomic<bool> m_terminate{false};
    std::atomic<bool> m_closeRequested{false};
    std::atomic<HidPlatform::Handle> m_readChannel{HidPlatform::InvalidHandle};
    std::atomic<quint32> m_errorCode{0};

    // The hand-off: guards the fields below between the reader and the GUI thread.
    std::mutex m_mutex;
    std::condition_variable m_served;
    bool m_pending = false;
    bool m_finished = false;
    std::atomic<bool> m_pendingFlag{false}; // m_pending, readable without the lock
    Kind m_kind = Kind::Data;
    quint8 m_reportId = 0;
    quint16 m_size = 0;
    quint32 m_handedError = 0;
    QObject m_guiContext; // lives on the GUI thread; queued hand-offs die with it
    std::thread m_thread;
    bool m_serving = false;          // GUI thread only
    bool m_deleteWhenServed = false; // GUI thread only
    friend class THidDevice;
};

class THidDeviceController : public QObject
{
    Q_OBJECT
public:
    // Throws EControllerError "Only one THidDeviceController allowed per program".
    explicit THidDeviceController(HidPlatform *platform, QObject *owner = nullptr);
    ~THidDeviceController() override;

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
};
