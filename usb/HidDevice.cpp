// THidDevice and its reader thread.

#include "usb/HidControllerClass.h"

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
    CloseAll();
    m_plugged = false;
    if (UnplugHandler) {
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

bool THidDevice::WriteReport(const quint8 *buffer, int length, int &written)
{
    if (!OpenControl())
        return false;
    return m_platform->write(m_control, buffer, length, &written);
}

bool THidDevice::SendFeature(const quint8 *buffer, int length)
{
    if (!OpenControl())
        return false;
    return m_platform->setFeature(m_control, buffer, length);
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
    m_dataHandler = handler;
    startReaderIfPossible();
}

void THidDevice::startReaderIfPossible()
{
    if (!m_dataHandler || !m_plugged || !m_claimed || !m_readWriteAccess || m_reader)
        return;
    const int length = Capabilities().InputReportByteLength;
    m_reader = std::make_unique<THidDeviceReadThread>(this, length);
    m_reader->start();
}

void THidDevice::stopReader()
{
    if (!m_reader)
        return;
    m_reader->Stop();
    if (m_reader->Serving()) {
        // Inside this reader's own hand-off: it deletes itself when the handler returns.
        m_reader->m_deleteWhenServed = true;
        m_reader.release();
    } else {
        m_reader.reset();
    }
}

// ---------------------------------------------------------------------------------------------

THidDeviceReadThread::THidDeviceReadThread(THidDevice *device, int reportLength)
    : m_device(device), m_platform(device->m_platform),
      // Reports are read into this buffer; a little extra keeps a zero length readable.
      m_reportBuffer(qMax(reportLength, 1), '\0')
{
    setObjectName(QStringLiteral("THidDeviceReadThread"));
}

void THidDeviceReadThread::start()
{
    m_thread = std::thread([this] {
        run();
        std::lock_guard lock(m_mutex);
        m_finished = true;
        m_served.notify_all();
    });
}

THidDeviceReadThread::~THidDeviceReadThread()
{
    Stop();
}

void THidDeviceReadThread::RequestChannelClose()
{
    m_closeRequested = true;
    const HidPlatform::Handle h = m_readChannel.load();
    if (h != HidPlatform::InvalidHandle)
        m_platform->cancelRead(h);
}

void THidDeviceReadThread::closeChannel()
{
    const HidPlatform::Handle h = m_readChannel.exchange(HidPlatform::InvalidHandle);
    if (h != HidPlatform::InvalidHandle)
        m_platform->close(h);
}

void THidDeviceReadThread::run()
{
    while (!m_terminate) {
        if (m_closeRequested.exchange(false))
            closeChannel();
        const int length = int(m_reportBuffer.size());
        std::memset(m_reportBuffer.data(), 0, size_t(length));
        const int slice = m_device->m_readWaitTime;

        // Open the read channel if needed; a device that is no longer accessible cannot be read.
        if (m_readChannel == HidPlatform::InvalidHandle && m_device->Accessible()) {
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
            r = m_platform->read(m_readChannel, reinterpret_cast<quint8 *>(m_reportBuffer.data()),
                                 length, slice);
        else
            r.Status = HidReadStatus::Failed, r.Error = m_errorCode;

        if (r.Status == HidReadStatus::Failed) {
            m_errorCode = r.Error;
            closeChannel();
            handOff(Kind::Error, 0, 0, r.Error);
            // A device that keeps failing (unplugged until released) must not spin a core.
            for (int waited = 0; waited < slice && !m_terminate; waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (r.Status == HidReadStatus::TimedOut || r.Bytes <= 0)
            continue;
        handOff(Kind::Data, quint8(m_reportBuffer[0]), quint16(r.Bytes - 1), 0);
    }
    closeChannel();
}

void THidDeviceReadThread::handOff(Kind kind, quint8 reportId, quint16 size, quint32 error)
{
    std::unique_lock lock(m_mutex);
    m_pending = true;
    m_kind = kind;
    m_reportId = reportId;
    m_size = size;
    m_handedError = error;
    m_pendingFlag.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(
        &m_guiContext, [this] { serve(); }, Qt::QueuedConnection);
    lock.unlock();
    // A handler usually returns within microseconds: a short spin saves a sleep and a wake-up.
    // It is bounded in time, so a busy GUI thread does not cost a second core.
    const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    while (m_pendingFlag.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < spinUntil)
        std::this_thread::yield();
    lock.lock();
    m_served.wait(lock, [this] { return !m_pending; });
}

void THidDeviceReadThread::serve()
{
    Kind kind;
    quint8 reportId;
    quint16 size;
    quint32 error;
    {
        std::lock_guard lock(m_mutex);
        if (!m_pending || m_serving)
            return; // already served, or being served further up this stack
        kind = m_kind;
        reportId = m_reportId;
        size = m_size;
        error = m_handedError;
    }
    m_serving = true;
    // Runs however the handler ends: releases the reader, and deletes a reader that was
    // stopped from inside its own handler once that handler has returned.
    struct Finish
    {
        THidDeviceReadThread *t;
        ~Finish()
        {
            t->m_serving = false;
            {
                std::lock_guard lock(t->m_mutex);
                t->m_pending = false;
                t->m_pendingFlag.store(false, std::memory_order_release);
                t->m_served.notify_all();
            }
            if (t->m_deleteWhenServed)
                t->deleteLater();
        }
    } finish{this};
    // The reader waits, so its buffer stays valid for the length of the call. The device may
    // be destroyed by the handler, so it is not touched after the call.
    if (kind == Kind::Data) {
        const THidDataEvent handler = m_device->m_dataHandler;
        if (handler)
            handler(m_device, reportId,
                    reinterpret_cast<const quint8 *>(m_reportBuffer.constData()) + 1, size);
    } else {
        const THidDataErrorEvent handler = m_device->DataErrorHandler;
        if (handler)
            handler(m_device, error);
    }
}

void THidDeviceReadThread::Stop()
{
    if (!m_thread.joinable())
        return;
    m_terminate = true;
    const HidPlatform::Handle h = m_readChannel.load();
    if (h != HidPlatform::InvalidHandle)
        m_platform->cancelRead(h);
    if (m_serving) {
        // Stopped from inside its own handler: release the reader, which then sees the flag.
        std::lock_guard lock(m_mutex);
        m_pending = false;
        m_pendingFlag.store(false, std::memory_order_release);
        m_served.notify_all();
    } else {
        // The reader may be blocked in a hand-off that only this thread can serve.
        for (;;) {
            bool pending;
            {
                std::unique_lock lock(m_mutex);
                m_served.wait_for(lock, std::chrono::milliseconds(2),
                                  [this] { return m_finished || m_pending; });
                if (m_finished)
                    break;
                pending = m_pending;
            }
            if (pending)
                serve();
        }
    }
    m_thread.join();
}
