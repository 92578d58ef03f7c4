// THidDevice and its reader thread.

#include "usb/HidControllerClass.h"
#include "usb/HidDispatch.h"
#include "usb/ReportDescriptor.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <cerrno>
#include <cstring>
#include <thread>

THidDevice::THidDevice(HidPlatform *platform, std::shared_ptr<THidPnPInfo> info,
                       THidDeviceController *controller)
    : m_platform(platform), m_info(std::move(info)), m_controller(controller)
{
    if (m_controller) {
        SetDataHandler(m_controller->OnDeviceData()); // starts nothing: not claimed
        UnplugHandler = m_controller->OnDeviceUnplug();
        DataErrorHandler = m_controller->OnDeviceDataError();
    }
    if (!openControlChannel())
        throw EControllerError(QStringLiteral("device cannot be opened"));
    if (!m_platform->attributes(m_control, &m_attributes)) {
        CloseControl();
        throw EControllerError(QStringLiteral("device cannot be identified"));
    }
    CloseControl();
}

THidDevice::~THidDevice()
{
    stopReader();
    CloseAll();
}

bool THidDevice::openControlChannel()
{
    quint32 error = 0;
    m_control = m_platform->open(m_info->DevicePath, HidOpenMode::ReadWrite, &error);
    m_readWriteAccess = m_control != HidPlatform::InvalidHandle;
    m_readWriteError = m_readWriteAccess ? 0 : error;
    if (!m_readWriteAccess)
        m_control = m_platform->open(m_info->DevicePath, HidOpenMode::QueryOnly, &error);
    return m_control != HidPlatform::InvalidHandle;
}

bool THidDevice::OpenControl()
{
    if (m_control == HidPlatform::InvalidHandle && Accessible() && openControlChannel()) {
        if (m_inputBufferCount != 0) {
            m_platform->setNumInputBuffers(m_control, m_inputBufferCount);
            int actual = 0;
            if (m_platform->getNumInputBuffers(m_control, &actual))
                m_inputBufferCount = actual;
        }
    }
    return m_control != HidPlatform::InvalidHandle;
}

void THidDevice::CloseControl()
{
    if (m_control != HidPlatform::InvalidHandle)
        m_platform->close(m_control);
    m_control = HidPlatform::InvalidHandle;
    m_inputBufferCount = 0;
}

void THidDevice::CloseAll()
{
    CloseControl();
    if (m_reader)
        m_reader->RequestChannelClose();
}

void THidDevice::MarkUnplugged()
{
    // Not plugged first: the reader woken by the close must not open the node again.
    m_plugged = false;
    CloseAll();
    if (UnplugHandler) {
        HidDispatch::Scope scope; // the handler may release this device
        const THidPlugEvent handler = UnplugHandler;
        handler(this);
    }
    UnplugHandler = THidPlugEvent();
}

void THidDevice::SetInputBufferCount(int n)
{
    if (n == m_inputBufferCount || !OpenControl())
        return;
    m_platform->setNumInputBuffers(m_control, n);
    int actual = 0;
    if (m_platform->getNumInputBuffers(m_control, &actual))
        m_inputBufferCount = actual;
}

QString THidDevice::ProductString()
{
    if (m_product.isEmpty() && OpenControl()) {
        QString s;
        if (m_platform->productString(m_control, &s))
            m_product = s.left(254).section(QChar(0), 0, 0);
        CloseControl();
    }
    return m_product;
}

QString THidDevice::SerialString()
{
    if (m_serial.isEmpty() && OpenControl()) {
        QString s;
        if (m_platform->serialString(m_control, &s)) {
            s = s.left(254).section(QChar(0), 0, 0);
            // The language-ID list: 254 UTF-16 units, prefilled with 0xFFFF.
            QByteArray l(508, char(0xFF));
            m_platform->indexedString(m_control, 0, &l);
            auto unit = [&l](int i) {
                return quint16(quint8(l[2 * i]) | (quint8(l[2 * i + 1]) << 8));
            };
            int n = 0;
            for (int i = 253; i >= 0; --i) {
                const quint16 u = unit(i);
                if (u == 0xFFFF)
                    continue;
                n = (u == 0) ? i : i + 1;
                break;
            }
            // A serial answer equal to the language list is the driver echoing it back.
            bool differs = false;
            for (int i = 0; i < n && !differs; ++i) {
                const quint16 su = i < s.size() ? s.at(i).unicode() : 0;
                differs = su != unit(i);
            }
            if (n > 0 && differs)
                m_serial = s;
        }
        CloseControl();
    }
    return m_serial;
}

HidCaps THidDevice::Capabilities()
{
    if (!m_capsFetched && Accessible()) {
        const bool wasOpen = ControlOpen();
        if (OpenControl()) {
            m_capsFetched = m_platform->caps(m_control, &m_caps);
            if (!wasOpen)
                CloseControl();
        }
    }
    return m_capsFetched ? m_caps : HidCaps{};
}

// A report goes out as long as the device's report of its kind, cut or zero-padded, as the
// host's HID stack sends it; a device may stall a transfer of another length.
bool THidDevice::WriteReport(const quint8 *buffer, int length, int &written)
{
    if (!OpenControl())
        return false;
    const QByteArray report = fitReport(QByteArray(reinterpret_cast<const char *>(buffer), length),
                                        Capabilities().OutputReportByteLength);
    return m_platform->write(m_control, reinterpret_cast<const quint8 *>(report.constData()),
                             int(report.size()), &written);
}

bool THidDevice::SendFeature(const quint8 *buffer, int length)
{
    if (!OpenControl())
        return false;
    const QByteArray report = fitReport(QByteArray(reinterpret_cast<const char *>(buffer), length),
                                        Capabilities().FeatureReportByteLength);
    return m_platform->setFeature(m_control, reinterpret_cast<const quint8 *>(report.constData()),
                                  int(report.size()));
}

void THidDevice::SetReadWaitTime(int ms)
{
    if (ms >= 10 && ms <= 10000)
        m_readWaitTime = ms;
}

void THidDevice::SetDataHandler(const THidDataEvent &handler)
{
    if (!handler)
        stopReader();
    if (m_released)
        return;
    m_dataHandler = handler;
    startReaderIfPossible();
}

void THidDevice::startReaderIfPossible()
{
    if (!m_dataHandler || !m_plugged || !m_claimed || m_released || !m_readWriteAccess || m_reader)
        return;
    // A report is the ID byte and at least one more: a device without input reports (or
    // whose lengths cannot be read) has nothing to read.
    const int length = Capabilities().InputReportByteLength;
    if (length < 2)
        return;
    m_reader = std::make_unique<THidDeviceReadThread>(this, length);
    m_reader->start();
}

void THidDevice::stopReader()
{
    if (!m_reader)
        return;
    m_reader->Stop();
    // Its drain may be on the stack (a handler stopping its own reader).
    HidDispatch::dispose(std::move(m_reader));
}

// ---------------------------------------------------------------------------------------------

THidDeviceReadThread::THidDeviceReadThread(THidDevice *device, int reportLength)
    : m_device(device), m_platform(device->m_platform), m_reportLength(reportLength)
{
    setObjectName(QStringLiteral("THidDeviceReadThread"));
}

THidDeviceReadThread::~THidDeviceReadThread()
{
    Stop();
}

void THidDeviceReadThread::start()
{
    m_thread = std::thread([this] { run(); });
}

void THidDeviceReadThread::Stop()
{
    m_stopped = true;
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_terminate = true;
        m_queue.clear();
        m_wake.notify_all();
    }
    const HidPlatform::Handle h = m_readChannel.load();
    if (h != HidPlatform::InvalidHandle)
        m_platform->cancelRead(h);
    // The thread never waits for this one, so the join ends within one read slice at most.
    m_thread.join();
}

void THidDeviceReadThread::RequestChannelClose()
{
    m_closeRequested = true;
    const HidPlatform::Handle h = m_readChannel.load();
    if (h != HidPlatform::InvalidHandle)
        m_platform->cancelRead(h);
}

qint64 THidDeviceReadThread::takeOverflow()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_overflow, 0);
}

void THidDeviceReadThread::closeChannel()
{
    const HidPlatform::Handle h = m_readChannel.exchange(HidPlatform::InvalidHandle);
    if (h != HidPlatform::InvalidHandle)
        m_platform->close(h);
}

void THidDeviceReadThread::run()
{
    // Reports are read into this buffer; a zero length still leaves a byte to read into.
    QByteArray buffer(qMax(m_reportLength, 1), '\0');
    while (!m_terminate) {
        if (m_closeRequested.exchange(false))
            closeChannel();
        const int length = int(buffer.size());
        std::memset(buffer.data(), 0, size_t(length));
        const int slice = m_device->m_readWaitTime;

        // Open the read channel if needed; a device that is no longer accessible cannot be read,
        // and one that has gone is never opened again: its node may belong to another
        // device by now.
        if (m_readChannel == HidPlatform::InvalidHandle && m_device->Accessible() && !m_gone) {
            quint32 error = 0;
            const HidPlatform::Handle h =
                m_platform->open(m_device->m_info->DevicePath, HidOpenMode::ReadOnly, &error);
            m_readChannel = h;
            if (h == HidPlatform::InvalidHandle)
                m_errorCode = error;
        } else if (m_readChannel == HidPlatform::InvalidHandle) {
            m_errorCode = ENODEV;
        }
        HidReadResult r;
        if (m_readChannel != HidPlatform::InvalidHandle)
            r = m_platform->read(m_readChannel, reinterpret_cast<quint8 *>(buffer.data()), length,
                                 slice);
        else
            r.Status = HidReadStatus::Failed, r.Error = m_errorCode;

        if (r.Status == HidReadStatus::Failed) {
            m_gone = m_gone || r.Gone;
            m_errorCode = r.Error;
            closeChannel();
            post({QByteArray(), r.Error});
            // A device that keeps failing (unplugged until released) must not spin a core.
            pauseAfterFailure(slice);
            continue;
        }
        if (r.Status == HidReadStatus::TimedOut || r.Bytes <= 0)
            continue;
        // A copy of its own: the buffer is reused for the next read at once.
        post({QByteArray(buffer.constData(), r.Bytes), 0});
    }
    closeChannel();
}

void THidDeviceReadThread::pauseAfterFailure(int ms)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_terminate.load(); });
}

void THidDeviceReadThread::post(Item item)
{
    std::lock_guard lock(m_mutex);
    if (m_terminate)
        return;
    if (m_queue.size() >= size_t(QueueLimit)) {
        ++m_overflow;
        return;
    }
    m_queue.push_back(std::move(item));
    if (!m_drainPosted) {
        m_drainPosted = true;
        // The reader object lives on the GUI thread, so the drain runs there. Posted by name,
        // so nothing but Qt's own event crosses the threads.
        QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
    }
}

void THidDeviceReadThread::drain()
{
    if (HidDispatch::busy()) {
        // A handler call is on the stack (perhaps a modal window opened by it): handler calls
        // do not nest, so these reports wait until it has returned.
        HidDispatch::whenIdle(this, [this] { drain(); });
        return;
    }
    HidDispatch::Scope scope;
    for (;;) {
        Item item;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopped || m_queue.empty()) {
                m_drainPosted = false;
                break;
            }
            item = std::move(m_queue.front());
            m_queue.pop_front();
        }
        // The handlers are read afresh for every report: a handler may change them.
        if (!item.report.isEmpty()) {
            const THidDataEvent handler = m_device->m_dataHandler;
            if (handler)
                handler(m_device, quint8(item.report[0]),
                        reinterpret_cast<const quint8 *>(item.report.constData()) + 1,
                        quint16(item.report.size() - 1));
        } else {
            const THidDataErrorEvent handler = m_device->DataErrorHandler;
            if (handler)
                handler(m_device, item.error);
        }
    }
    // Nothing of this object is touched after the scope ends: it may delete this reader.
}
