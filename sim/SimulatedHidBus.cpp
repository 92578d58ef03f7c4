#include "sim/SimulatedHidBus.h"

#include <QMetaObject>
#include <cerrno>
#include <cstring>

VirtualHidModel::~VirtualHidModel() = default;

SimulatedHidBus::SimulatedHidBus() = default;

SimulatedHidBus::~SimulatedHidBus()
{
    std::lock_guard lock(m_mutex);
    for (auto &h : m_handles)
        h.cancelled = true;
    m_changed.notify_all();
}

int SimulatedHidBus::plug(const VirtualInterface &iface, std::shared_ptr<VirtualHidModel> model)
{
    int id;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextIface++;
        auto i = std::make_shared<Iface>();
        i->config = iface;
        if (i->config.InstanceId.isEmpty())
            i->config.InstanceId = QStringLiteral("sim-%1").arg(id);
        if (i->config.Path.isEmpty())
            i->config.Path = QStringLiteral("/sim/hidraw%1").arg(id);
        i->model = std::move(model);
        m_ifaces.insert(id, i);
    }
    emit devicesChanged();
    return id;
}

void SimulatedHidBus::unplug(int id)
{
    {
        std::lock_guard lock(m_mutex);
        auto it = m_ifaces.find(id);
        if (it == m_ifaces.end() || !(*it)->plugged)
            return;
        (*it)->plugged = false;
        m_changed.notify_all();
    }
    emit devicesChanged();
}

int SimulatedHidBus::replaceQuietly(int id, VirtualInterface newcomer)
{
    std::lock_guard lock(m_mutex);
    auto it = m_ifaces.find(id);
    if (it == m_ifaces.end())
        return 0;
    (*it)->plugged = false;
    newcomer.Path = (*it)->config.Path;
    const int newId = m_nextIface++;
    auto i = std::make_shared<Iface>();
    i->config = newcomer;
    m_ifaces.insert(newId, i);
    m_changed.notify_all();
    return newId;
}

void SimulatedHidBus::update(int id, const std::function<void(VirtualInterface &)> &change)
{
    std::lock_guard lock(m_mutex);
    if (auto it = m_ifaces.find(id); it != m_ifaces.end())
        change((*it)->config);
}

void SimulatedHidBus::pushInput(int id, const QByteArray &report)
{
    std::lock_guard lock(m_mutex);
    if (auto it = m_ifaces.find(id); it != m_ifaces.end()) {
        (*it)->input.push_back(report);
        m_changed.notify_all();
    }
}

QList<QByteArray> SimulatedHidBus::outputs(int id) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_ifaces.find(id);
    return it != m_ifaces.end() ? (*it)->outputs : QList<QByteArray>();
}

QList<QByteArray> SimulatedHidBus::features(int id) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_ifaces.find(id);
    return it != m_ifaces.end() ? (*it)->features : QList<QByteArray>();
}

void SimulatedHidBus::clearSent(int id)
{
    std::lock_guard lock(m_mutex);
    if (auto it = m_ifaces.find(id); it != m_ifaces.end()) {
        (*it)->outputs.clear();
        (*it)->features.clear();
    }
}

int SimulatedHidBus::openHandles(int id) const
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const OpenHandle &h : m_handles)
        n += h.iface == id;
    return n;
}

QList<HidInterfaceInfo> SimulatedHidBus::interfaces()
{
    std::lock_guard lock(m_mutex);
    QList<int> ids = m_ifaces.keys();
    std::sort(ids.begin(), ids.end());
    QList<HidInterfaceInfo> out;
    for (int id : ids) {
        const Iface &i = *m_ifaces[id];
        if (i.plugged)
            out.append({i.config.InstanceId, i.config.Path, i.config.Properties});
    }
    return out;
}

SimulatedHidBus::Iface *SimulatedHidBus::ifaceFor(Handle h, OpenHandle **handle)
{
    auto it = m_handles.find(h);
    if (it == m_handles.end())
        return nullptr;
    if (handle)
        *handle = &*it;
    auto i = m_ifaces.find(it->iface);
    return i != m_ifaces.end() ? i->get() : nullptr;
}

HidPlatform::Handle SimulatedHidBus::open(const QString &path, HidOpenMode mode, quint32 *error)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_ifaces.begin(); it != m_ifaces.end(); ++it) {
        const Iface &i = **it;
        if (i.config.Path != path || !i.plugged)
            continue;
        if (i.config.OpenFails || (i.config.QueryOnly && mode != HidOpenMode::QueryOnly)) {
            if (error)
                *error = EACCES;
            return InvalidHandle;
        }
        const Handle h = m_nextHandle++;
        OpenHandle handle;
        handle.iface = it.key();
        handle.mode = mode;
        m_handles.insert(h, handle);
        return h;
    }
    if (error)
        *error = ENOENT;
    return InvalidHandle;
}

void SimulatedHidBus::close(Handle h)
{
    std::lock_guard lock(m_mutex);
    m_handles.remove(h);
    m_changed.notify_all();
}

bool SimulatedHidBus::attributes(Handle h, HidAttributes *out)
{
    std::lock_guard lock(m_mutex);
    const Iface *i = ifaceFor(h);
    if (!i || !i->plugged || i->config.AttributesFail)
        return false;
    *out = i->config.Attributes;
    return true;
}

bool SimulatedHidBus::productString(Handle h, QString *out)
{
    std::lock_guard lock(m_mutex);
    const Iface *i = ifaceFor(h);
    if (!i || !i->plugged || i->config.StringsFail || i->config.Product.isEmpty())
        return false;
    *out = i->config.Product;
    return true;
}

bool SimulatedHidBus::serialString(Handle h, QString *out)
{
    std::lock_guard lock(m_mutex);
    const Iface *i = ifaceFor(h);
    if (!i || !i->plugged || i->config.StringsFail)
        return false;
    if (i->config.SerialEchoesLanguages) {
        QString echo;
        for (quint16 l : i->config.Languages)
            echo.append(QChar(l));
        *out = echo;
        return true;
    }
    if (i->config.Serial.isEmpty())
        return false;
    *out = i->config.Serial;
    return true;
}

bool SimulatedHidBus::indexedString(Handle h, int index, QByteArray *buffer)
{
    std::lock_guard lock(m_mutex);
    const Iface *i = ifaceFor(h);
    if (!i || !i->plugged || i->config.StringsFail || index != 0)
        return false;
    const QList<quint16> &langs = i->config.Languages;
    int k = 0;
    for (; k < langs.size() && 2 * k + 1 < buffer->size(); ++k) {
        (*buffer)[2 * k] = char(langs[k] & 0xFF);
        (*buffer)[2 * k + 1] = char(langs[k] >> 8);
    }
    if (!langs.isEmpty() && 2 * k + 1 < buffer->size()) {
        (*buffer)[2 * k] = 0;
        (*buffer)[2 * k + 1] = 0;
    }
    return !langs.isEmpty();
}

bool SimulatedHidBus::caps(Handle h, HidCaps *out)
{
    std::lock_guard lock(m_mutex);
    const Iface *i = ifaceFor(h);
    if (!i || !i->plugged)
        return false;
    *out = i->config.Caps;
    return true;
}

bool SimulatedHidBus::setNumInputBuffers(Handle h, int count)
{
    std::lock_guard lock(m_mutex);
    OpenHandle *oh = nullptr;
    if (!ifaceFor(h, &oh) || count < 2)
        return false;
    oh->inputBuffers = count;
    return true;
}

bool SimulatedHidBus::getNumInputBuffers(Handle h, int *count)
{
    std::lock_guard lock(m_mutex);
    OpenHandle *oh = nullptr;
    if (!ifaceFor(h, &oh))
        return false;
    *count = oh->inputBuffers;
    return true;
}

bool SimulatedHidBus::setFeature(Handle h, const quint8 *report, int length)
{
    std::shared_ptr<VirtualHidModel> model;
    const QByteArray bytes(reinterpret_cast<const char *>(report), length);
    {
        std::lock_guard lock(m_mutex);
        OpenHandle *oh = nullptr;
        Iface *i = ifaceFor(h, &oh);
        if (!i || !i->plugged || oh->mode == HidOpenMode::QueryOnly)
            return false;
        // The device stalls a transfer that is not exactly as long as its feature report.
        if (i->config.Caps.FeatureReportByteLength &&
            length != i->config.Caps.FeatureReportByteLength)
            return false;
        i->features.append(bytes);
        if (i->config.FeatureFails)
            return false;
        model = i->model;
    }
    return model ? model->featureReport(bytes) : true;
}

bool SimulatedHidBus::write(Handle h, const quint8 *report, int length, int *written)
{
    std::shared_ptr<VirtualHidModel> model;
    const QByteArray bytes(reinterpret_cast<const char *>(report), length);
    {
        std::lock_guard lock(m_mutex);
        OpenHandle *oh = nullptr;
        Iface *i = ifaceFor(h, &oh);
        if (!i || !i->plugged || oh->mode != HidOpenMode::ReadWrite)
            return false;
        if (i->config.Caps.OutputReportByteLength &&
            length != i->config.Caps.OutputReportByteLength)
            return false;
        i->outputs.append(bytes);
        if (i->config.WriteFails)
            return false;
        model = i->model;
    }
    if (written)
        *written = length;
    if (model)
        model->outputReport(bytes);
    return true;
}

HidReadResult SimulatedHidBus::read(Handle h, quint8 *buffer, int length, int timeoutMs)
{
    using clock = std::chrono::steady_clock;
    HidReadResult r;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(m_mutex);
    for (;;) {
        OpenHandle *oh = nullptr;
        Iface *i = ifaceFor(h, &oh);
        if (!i || !i->plugged) {
            r.Status = HidReadStatus::Failed;
            r.Error = ENODEV;
            r.Gone = true;
            return r;
        }
        if (i->config.ReadStartError) {
            r.Status = HidReadStatus::Failed;
            r.Error = i->config.ReadStartError;
            return r;
        }
        if (oh->cancelled) {
            oh->cancelled = false;
            return r;
        }
        auto deliver = [&](const QByteArray &report) {
            const int n = qMin(int(report.size()), length);
            std::memcpy(buffer, report.constData(), size_t(n));
            r.Status = HidReadStatus::Completed;
            r.Bytes = n;
        };
        if (!i->input.empty()) {
            deliver(i->input.front());
            i->input.pop_front();
            return r;
        }
        clock::time_point wakeAt = deadline;
        if (i->model) {
            if (!i->upcoming) {
                auto model = i->model;
                lock.unlock();
                auto next = model->next();
                lock.lock();
                i = ifaceFor(h, &oh);
                if (!i)
                    continue;
                if (next) {
                    // Reports fall due on the device's own clock, read or not; only a device
                    // nobody has read for ten seconds starts its clock again from now.
                    const auto now = clock::now();
                    if (i->nextDue == clock::time_point{} ||
                        i->nextDue < now - std::chrono::seconds(10))
                        i->nextDue = now;
                    // At least a microsecond apart: a model with no gap at all still leaves
                    // the reader time to read.
                    i->nextDue += std::chrono::microseconds(
                        std::max<qint64>(1, qint64(next->first / m_timeScale.load())));
                }
                i->upcoming = std::move(next);
            }
            if (i->upcoming && clock::now() >= i->nextDue) {
                // Every open handle gets the report, as every open hidraw file does, up to
                // the kernel's limit of unread reports; beyond it the report is lost.
                for (OpenHandle &other : m_handles) {
                    if (other.iface != oh->iface || other.mode == HidOpenMode::QueryOnly)
                        continue;
                    if (int(other.unread.size()) < KernelQueueLimit)
                        other.unread.push_back(i->upcoming->second);
                    else if (other.mode == HidOpenMode::ReadOnly)
                        ++i->dropped; // counted for readers; nobody reads a control channel
                }
                i->upcoming.reset();
                continue;
            }
            if (!oh->unread.empty()) {
                deliver(oh->unread.front());
                oh->unread.pop_front();
                return r;
            }
            if (i->upcoming)
                wakeAt = std::min(wakeAt, i->nextDue);
        }
        if (clock::now() >= deadline)
            return r;
        m_changed.wait_until(lock, wakeAt);
    }
}

qint64 SimulatedHidBus::droppedReports(int id) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_ifaces.find(id);
    return it != m_ifaces.end() ? (*it)->dropped : 0;
}

void SimulatedHidBus::cancelRead(Handle h)
{
    std::lock_guard lock(m_mutex);
    if (auto it = m_handles.find(h); it != m_handles.end()) {
        it->cancelled = true;
        m_changed.notify_all();
    }
}
