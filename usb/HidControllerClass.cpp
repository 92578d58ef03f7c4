// THidDeviceController: the device list, rescans, claiming and handler propagation.

#include "usb/HidControllerClass.h"
#include "usb/HidDispatch.h"

namespace {
// Controllers alive in this process; only one may exist.
int g_controllerCount = 0;
} // namespace

THidDeviceController::THidDeviceController(HidPlatform *platform, QObject *owner)
    : QObject(owner), m_platform(platform)
{
    setObjectName(QStringLiteral("HidCtl"));
    if (++g_controllerCount > 1) {
        // Nothing of the first controller's has been touched yet.
        --g_controllerCount;
        throw EControllerError(QStringLiteral("Only one THidDeviceController allowed per program"));
    }
    m_list = ScanInterfaces();
    m_availableCount = int(m_list.size());
    if (m_platform && m_platform->available())
        connect(m_platform, &HidPlatform::devicesChanged, this,
                &THidDeviceController::DeviceChange);
}

THidDeviceController::~THidDeviceController()
{
    --g_controllerCount;
    m_onDeviceChange = TNotifyEvent();
    m_onDeviceUnplug = THidPlugEvent();
    m_onEnumerate = THidEnumerateEvent();
    if (m_platform)
        disconnect(m_platform, nullptr, this, nullptr);
    const QList<THidDevice *> devices = m_list;
    m_list.clear();
    for (THidDevice *dev : devices) {
        dev->m_controller = nullptr;
        if (dev->Claimed())
            dev->MarkUnplugged(); // stays alive for its holder
        else
            destroyDevice(dev);
    }
}

QList<THidDevice *> THidDeviceController::ScanInterfaces()
{
    QList<THidDevice *> found;
    if (!m_platform || !m_platform->available())
        return found;
    for (const HidInterfaceInfo &i : m_platform->interfaces()) {
        auto info = std::make_shared<THidPnPInfo>();
        info->DevInst = i.InstanceId;
        info->DevicePath = i.Path;
        info->Properties = i.Properties;
        try {
            found.append(new THidDevice(m_platform, info, this));
        } catch (const EControllerError &) {
            // An interface that cannot be opened or identified is left out.
        }
    }
    return found;
}

void THidDeviceController::recount()
{
    int unclaimed = 0, claimed = 0, unplugged = 0;
    for (const THidDevice *d : std::as_const(m_list)) {
        unclaimed += !d->Claimed();
        claimed += d->Claimed();
        unplugged += !d->Plugged();
    }
    m_availableCount = unclaimed;
    m_unpluggedCount = unplugged;
    m_claimedCount = claimed - unplugged;
}

void THidDeviceController::DeviceChange()
{
    if (HidDispatch::busy()) {
        // A handler call is on the stack: the rescan waits until it has returned.
        if (!m_rescanWaiting) {
            m_rescanWaiting = true;
            HidDispatch::whenIdle(this, [this] {
                m_rescanWaiting = false;
                DeviceChange();
            });
        }
        return;
    }
    HidDispatch::Scope scope; // handlers below may release devices; they die after the scan
    QList<THidDevice *> fresh = ScanInterfaces();
    bool changed = false;

    auto presentIn = [](const QList<THidDevice *> &list, const THidDevice *dev) {
        for (const THidDevice *n : list)
            if (n->PnPInfo().DevInst == dev->PnPInfo().DevInst)
                return true;
        return false;
    };
    // The devices that are gone, decided before any handler can change the list.
    QList<THidDevice *> gone;
    for (qsizetype i = m_list.size() - 1; i >= 0; --i)
        if (!m_list[i]->Plugged() || !presentIn(fresh, m_list[i]))
            gone.append(m_list[i]);
    for (THidDevice *dev : std::as_const(gone)) {
        if (dev->Released() || !m_list.contains(dev))
            continue; // released by a handler of an earlier removal
        changed = true;
        dev->MarkUnplugged();
        if (m_onRemoval) {
            dev->m_inEvent = true;
            m_onRemoval(dev);
            dev->m_inEvent = false;
        }
        if (!dev->Released() && !dev->Claimed())
            destroyDevice(dev);
    }

    for (auto it = fresh.begin(); it != fresh.end();) {
        bool duplicate = false;
        for (const THidDevice *old : std::as_const(m_list))
            duplicate =
                duplicate || (old->Plugged() && old->PnPInfo().DevInst == (*it)->PnPInfo().DevInst);
        if (duplicate) {
            (*it)->m_controller = nullptr;
            delete *it; // never handed out
            it = fresh.erase(it);
        } else {
            ++it;
        }
    }

    for (THidDevice *dev : std::as_const(fresh)) {
        m_list.append(dev);
        changed = true;
        if (m_onArrival) {
            dev->m_inEvent = true;
            m_onArrival(dev);
            dev->m_inEvent = false;
        }
    }

    recount();
    if (changed || !m_changeReported) {
        if (m_onDeviceChange)
            m_onDeviceChange(this);
    }
}

int THidDeviceController::EnumerateDevices()
{
    HidDispatch::Scope scope;
    int offered = 0;
    for (int i = 0; i < m_list.size(); ++i) {
        THidDevice *dev = m_list[i];
        if (!dev->Plugged())
            continue;
        ++offered;
        if (!m_onEnumerate)
            break;
        dev->m_inEvent = true;
        const bool goOn = m_onEnumerate(dev, i);
        dev->m_inEvent = false;
        if (!dev->Released() && !dev->Claimed())
            dev->CloseAll();
        if (!goOn)
            break;
    }
    return offered;
}

bool THidDeviceController::ClaimDeviceAt(THidDevice *&HidDev, int Idx)
{
    HidDev = nullptr;
    if (Idx < 0 || Idx >= m_list.size())
        return false;
    THidDevice *dev = m_list[Idx];
    if (dev->Claimed())
        return false;
    HidDev = dev;
    dev->m_claimed = true;
    ++m_claimedCount;
    --m_availableCount;
    dev->startReaderIfPossible();
    return true;
}

void THidDeviceController::ReleaseDevice(THidDevice *HidDev)
{
    if (HidDev && HidDev->Claimed())
        destroyDevice(HidDev);
}

void THidDeviceController::destroyDevice(THidDevice *dev)
{
    if (dev->Released())
        return;
    const THidDataEvent data = dev->m_dataHandler;
    const THidPlugEvent unplug = dev->UnplugHandler;
    const THidDataErrorEvent dataError = dev->DataErrorHandler;
    dev->SetDataHandler(THidDataEvent());
    dev->UnplugHandler = THidPlugEvent();
    dev->CloseAll();

    if (dev->m_controller == this) {
        const qsizetype slot = m_list.indexOf(dev);
        if (slot >= 0) {
            if (dev->Plugged()) {
                // The interface is still there: it comes back as a fresh, unclaimed device.
                THidDevice *fresh = nullptr;
                try {
                    fresh = new THidDevice(m_platform, dev->m_info, this);
                } catch (const EControllerError &) {
                }
                if (dev->Claimed()) {
                    --m_claimedCount;
                    ++m_availableCount;
                }
                if (fresh) {
                    fresh->SetDataHandler(data);
                    fresh->UnplugHandler = unplug;
                    fresh->DataErrorHandler = dataError;
                    fresh->m_readWaitTime = dev->ReadWaitTime();
                    m_list[slot] = fresh;
                } else {
                    // It could not be opened again: the slot goes, like an unplugged one.
                    m_list.removeAt(slot);
                    --m_availableCount;
                }
            } else {
                m_list.removeAt(slot);
                --m_unpluggedCount;
            }
        }
    }
    dev->m_released = true;
    HidDispatch::dispose(dev);
}

void THidDeviceController::SetOnDeviceChange(const TNotifyEvent &h)
{
    if (h.sameAs(m_onDeviceChange))
        return;
    m_onDeviceChange = h;
    DeviceChange();
    m_changeReported = true;
}

void THidDeviceController::SetOnDeviceData(const THidDataEvent &h)
{
    if (h.sameAs(m_onDeviceData))
        return;
    for (THidDevice *dev : std::as_const(m_list))
        if (dev->DataHandler().sameAs(m_onDeviceData))
            dev->SetDataHandler(h);
    m_onDeviceData = h;
}

void THidDeviceController::SetOnDeviceDataError(const THidDataErrorEvent &h)
{
    if (h.sameAs(m_onDeviceDataError))
        return;
    for (THidDevice *dev : std::as_const(m_list))
        if (dev->DataErrorHandler.sameAs(m_onDeviceDataError))
            dev->DataErrorHandler = h;
    m_onDeviceDataError = h;
}

void THidDeviceController::SetOnDeviceUnplug(const THidPlugEvent &h)
{
    if (h.sameAs(m_onDeviceUnplug))
        return;
    for (THidDevice *dev : std::as_const(m_list))
        if (dev->UnplugHandler.sameAs(m_onDeviceUnplug))
            dev->UnplugHandler = h;
    m_onDeviceUnplug = h;
}

void THidDeviceController::SetDevThreadSleepTime(int ms)
{
    if (ms == m_devThreadSleepTime)
        return;
    for (THidDevice *dev : std::as_const(m_list))
        if (dev->ReadWaitTime() == m_devThreadSleepTime)
            dev->SetReadWaitTime(ms);
    m_devThreadSleepTime = ms;
}
