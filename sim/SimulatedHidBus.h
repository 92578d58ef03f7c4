#pragma once
// An in-process HID bus for tests and the demo. Virtual interfaces can be plugged and unplugged
// at any time, each plug or unplug raising the change notification. Faults can be injected per
// interface. Input reports come from a queue the test fills, or from a model behind the
// interface (the simulated thermometer's cable), paced like the real device.

#include "usb/HidPlatform.h"

#include <QHash>
#include <QList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

// What sits behind a virtual interface. Called on the GUI thread (outputReport, featureReport)
// and on a reader thread (next), so implementations guard their own state.
class VirtualHidModel
{
public:
    virtual ~VirtualHidModel();
    virtual void outputReport(const QByteArray &report) { Q_UNUSED(report); }
    virtual bool featureReport(const QByteArray &report)
    {
        Q_UNUSED(report);
        return true;
    }
    // The next input report and how long after the previous one it comes, in microseconds of
    // device time; nullopt while the device sends nothing.
    virtual std::optional<std::pair<qint64, QByteArray>> next() = 0;
};

struct VirtualInterface
{
    QString InstanceId;
    QString Path;
    QMap<QString, QString> Properties;
    HidAttributes Attributes;
    QString Product;
    QString Serial;
    QList<quint16> Languages{0x0409};
    bool SerialEchoesLanguages = false; // the driver answers the serial query with the list
    HidCaps Caps{11, 11, 10};           // feature and output reports of another length are refused

    // Faults.
    bool OpenFails = false;
    bool QueryOnly = false;
    bool AttributesFail = false;
    bool StringsFail = false;
    quint32 ReadStartError = 0; // reads fail with this code
    bool WriteFails = false;
    bool FeatureFails = false;
};

class SimulatedHidBus : public HidPlatform
{
    Q_OBJECT
public:
    SimulatedHidBus();
    ~SimulatedHidBus() override;

    // Plugs an interface in; raises the change notification. Returns its id.
    int plug(const VirtualInterface &iface, std::shared_ptr<VirtualHidModel> model = nullptr);
    void unplug(int id);
    // The interface goes and another takes its path, with no notification: a node the kernel
    // reused before anybody rescanned. Returns the newcomer's id.
    int replaceQuietly(int id, VirtualInterface newcomer);
    // Quietly changes an interface's faults, identity or strings.
    void update(int id, const std::function<void(VirtualInterface &)> &change);
    void setAvailable(bool available) { m_available = available; }
    // Device time runs this many times faster than real time.
    void setTimeScale(double scale) { m_timeScale = scale; }

    // Scripted input for an interface without a model (byte 0 = report ID).
    void pushInput(int id, const QByteArray &report);
    // What the program sent.
    QList<QByteArray> outputs(int id) const;
    QList<QByteArray> features(int id) const;
    void clearSent(int id);
    int openHandles(int id) const;
    // Like the kernel's hidraw, each open handle keeps at most this many unread reports of a
    // model; reports that fall due beyond that are dropped and counted.
    static constexpr int KernelQueueLimit = 64;
    qint64 droppedReports(int id) const;

    bool available() const override { return m_available; }
    QList<HidInterfaceInfo> interfaces() override;
    Handle open(const QString &path, HidOpenMode mode, quint32 *error) override;
    void close(Handle h) override;
    bool attributes(Handle h, HidAttributes *out) override;
    bool productString(Handle h, QString *out) override;
    bool serialString(Handle h, QString *out) override;
    bool indexedString(Handle h, int index, QByteArray *buffer) override;
    bool caps(Handle h, HidCaps *out) override;
    bool setNumInputBuffers(Handle h, int count) override;
    bool getNumInputBuffers(Handle h, int *count) override;
    bool setFeature(Handle h, const quint8 *report, int length) override;
    bool write(Handle h, const quint8 *report, int length, int *written) override;
    HidReadResult read(Handle h, quint8 *buffer, int length, int timeoutMs) override;
    void cancelRead(Handle h) override;

private:
    struct Iface
    {
        VirtualInterface config;
        std::shared_ptr<VirtualHidModel> model;
        bool plugged = true;
        std::deque<QByteArray> input;
        QList<QByteArray> outputs, features;
        std::chrono::steady_clock::time_point nextDue{}; // when the model's next report is due
        std::optional<std::pair<qint64, QByteArray>> upcoming; // model report not yet due
        qint64 dropped = 0; // reports a reading handle lost: it already held KernelQueueLimit
    };
    struct OpenHandle
    {
        int iface = 0;
        HidOpenMode mode = HidOpenMode::QueryOnly;
        int inputBuffers = 32;
        bool cancelled = false;
        std::deque<QByteArray> unread; // a model's reports that fell due, not read yet
    };
    // Both under m_mutex.
    Iface *ifaceFor(Handle h, OpenHandle **handle = nullptr);

    mutable std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    QHash<int, std::shared_ptr<Iface>> m_ifaces;
    QHash<Handle, OpenHandle> m_handles;
    int m_nextIface = 1;
    Handle m_nextHandle = 1;
    std::atomic<bool> m_available{true};
    std::atomic<double> m_timeScale{1.0};
};
