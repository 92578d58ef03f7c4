#include "usb/CableIds.h"

#include <QCryptographicHash>

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
    if (const qsizetype i = ids.indexOf(want); i >= 0)
        return int(i);
    // The bounded form a unit's instance or a lock file carries.
    for (int i = 0; i < ids.size(); ++i)
        if (ids[i] != boundedId(ids[i]) && boundedId(ids[i]) == want)
            return i;
    return -1;
}

QString boundedId(const QString &id)
{
    const QByteArray utf8 = id.toUtf8();
    if (utf8.size() <= MaxIdBytes)
        return id;
    QString head;
    for (const QChar c : id) {
        if (head.toUtf8().size() + QString(c).toUtf8().size() > 24 || c.isSurrogate())
            break;
        head += c;
    }
    return head + QLatin1Char('~') +
           QString::fromLatin1(
               QCryptographicHash::hash(utf8, QCryptographicHash::Sha256).toHex().left(16));
}

QString unitName(const QString &id)
{
    // systemd-escape: '/' becomes '-'; letters, digits, ':', '_' and '.' (not first) stay;
    // every other byte is \xNN.
    const QByteArray utf8 = boundedId(id).toUtf8();
    QString instance;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c == '/')
            instance += QLatin1Char('-');
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == ':' || c == '_' || (c == '.' && i > 0))
            instance += QLatin1Char(c);
        else
            instance += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return QStringLiteral("tx9-logger@") + instance + QStringLiteral(".service");
}

} // namespace CableIds
