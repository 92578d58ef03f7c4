#pragma once
// The system services the HID classes need: list the HID interfaces, open them, ask for their
// identification, strings and report lengths, write output reports, send feature reports and
// read input reports. Reports cross this interface with the report ID in byte 0 (0 when the
// device does not number its reports). HidrawPlatform serves real devices, SimulatedHidBus
// serves tests and the demo.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

struct HidInterfaceInfo
{
    QString InstanceId;                // identity of the device node; rescans match on it
    QString Path;                      // what open() takes
    QMap<QString, QString> Properties; // plug-and-play properties; empty when absent
};

enum class HidOpenMode
{
    ReadWrite, // the control channel
    ReadOnly,  // the reader's channel
    QueryOnly  // identification and strings only
};

struct HidAttributes
{
    quint16 VendorID = 0;
    quint16 ProductID = 0;
    quint16 VersionNumber = 0;
};

// Report lengths, each counting the report-ID byte.
struct HidCaps
{
    quint16 InputReportByteLength = 0;
    quint16 OutputReportByteLength = 0;
    quint16 FeatureReportByteLength = 0;
};

enum class HidReadStatus
{
    Completed,
    TimedOut,
    Failed
};

struct HidReadResult
{
    HidReadStatus Status = HidReadStatus::TimedOut;
    int Bytes = 0;     // with Completed: bytes in the buffer, report ID included
    quint32 Error = 0; // with Failed: the system error code
    bool Gone = false; // with Failed: the device itself is gone; its node must not be reopened
};

class HidPlatform : public QObject
{
    Q_OBJECT
public:
    using Handle = int;
    static constexpr Handle InvalidHandle = -1;

    ~HidPlatform() override;

    // False when the platform's libraries are missing: empty lists, no notifications.
    virtual bool available() const = 0;
    virtual QList<HidInterfaceInfo> interfaces() = 0;

    // Returns InvalidHandle and sets error when the path cannot be opened in that mode.
    virtual Handle open(const QString &path, HidOpenMode mode, quint32 *error) = 0;
    virtual void close(Handle h) = 0;

    virtual bool attributes(Handle h, HidAttributes *out) = 0;
    virtual bool productString(Handle h, QString *out) = 0;
    virtual bool serialString(Handle h, QString *out) = 0;
    // String descriptor `index` as raw UTF-16 units written over buffer (index 0: the
    // language-ID list). The buffer keeps whatever the call does not write.
    virtual bool indexedString(Handle h, int index, QByteArray *buffer) = 0;
    virtual bool caps(Handle h, HidCaps *out) = 0;
    virtual bool setNumInputBuffers(Handle h, int count) = 0;
    virtual bool getNumInputBuffers(Handle h, int *count) = 0;

    virtual bool setFeature(Handle h, const quint8 *report, int length) = 0;
    virtual bool write(Handle h, const quint8 *report, int length, int *written) = 0;

    // Called on a reader thread: waits up to timeoutMs for one input report.
    virtual HidReadResult read(Handle h, quint8 *buffer, int length, int timeoutMs) = 0;
    // Any thread: makes a read in progress on h return at once (TimedOut).
    virtual void cancelRead(Handle h) = 0;

    // The system's message text for an error code.
    virtual QString errorText(quint32 error) const;

signals:
    // The set of devices may have changed; delivered on the GUI thread, without payload.
    void devicesChanged();
};
