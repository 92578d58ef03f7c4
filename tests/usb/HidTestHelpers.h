#pragma once
// Handlers that log what the HID layer calls, for binding in tests.

#include "sim/SimulatedHidBus.h"
#include "usb/HidControllerClass.h"

#include <QStringList>

class EventLog
{
public:
    QStringList events;
    QList<QByteArray> data;
    QList<quint32> errors;
    bool enumerateResult = true;
    std::function<void(THidDevice *)> onEnumerate;
    std::function<void()> onData;

    static QString name(THidDevice *d) { return d ? d->PnPInfo().DevInst : QStringLiteral("null"); }

    void Arrival(THidDevice *d) { events << "arrival " + name(d); }
    void Removal(THidDevice *d) { events << "removal " + name(d); }
    void Unplug(THidDevice *d) { events << "unplug " + name(d); }
    void Change(QObject *) { events << "change"; }
    void OtherChange(QObject *) { events << "other change"; }
    bool Enumerate(THidDevice *d, int idx)
    {
        events << QStringLiteral("enumerate %1 %2").arg(name(d)).arg(idx);
        if (onEnumerate)
            onEnumerate(d);
        return enumerateResult;
    }
    void Data(THidDevice *, quint8 id, const quint8 *bytes, quint16 size)
    {
        QByteArray r;
        r.append(char(id));
        r.append(reinterpret_cast<const char *>(bytes), size);
        data << r;
        if (onData)
            onData();
    }
    void OtherData(THidDevice *d, quint8 id, const quint8 *bytes, quint16 size)
    {
        events << "other data";
        Data(d, id, bytes, size);
    }
    void DataError(THidDevice *, quint32 e) { errors << e; }
};

inline VirtualInterface cable(const QString &id, const QString &product = "USB to Serial")
{
    VirtualInterface v;
    v.InstanceId = id;
    v.Path = "/sim/" + id;
    v.Product = product;
    v.Attributes = {0x1a86, 0xe008, 0x0100};
    return v;
}
