#include "usb/CableIds.h"

namespace CableIds {

Cable fromProperties(const QString &node, const QMap<QString, QString> &properties)
{
    Cable c;
    c.Node = node;
    c.Serial = properties.value(QStringLiteral("serial")).trimmed();
    if (c.Serial.isEmpty())
        c.Serial = properties.value(QStringLiteral("HID_UNIQ")).trimmed();
    c.PortPath = properties.value(QStringLiteral("usb_port")).trimmed();
    return c;
}

namespace {

int serialCount(const QList<Cable> &cables, const QString &serial)
{
    int n = 0;
    for (const Cable &c : cables)
        n += !serial.isEmpty() && c.Serial == serial;
    return n;
}

} // namespace

QStringList idsOf(const QList<Cable> &cables)
{
    QStringList ids;
    for (const Cable &c : cables)
        ids << (serialCount(cables, c.Serial) == 1 ? c.Serial
                : !c.PortPath.isEmpty()            ? c.PortPath
                                                   : c.Node);
    return ids;
}

int find(const QList<Cable> &cables, const QString &want)
{
    if (want.isEmpty())
        return -1;
    for (int i = 0; i < cables.size(); ++i)
        if (cables[i].Node == want)
            return i;
    if (serialCount(cables, want) == 1)
        for (int i = 0; i < cables.size(); ++i)
            if (cables[i].Serial == want)
                return i;
    for (int i = 0; i < cables.size(); ++i)
        if (!cables[i].PortPath.isEmpty() && cables[i].PortPath == want)
            return i;
    const QStringList ids = idsOf(cables);
    return int(ids.indexOf(want));
}

} // namespace CableIds
