#include "usb/CableIds.h"

#include <QCryptographicHash>
#include <vector>

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
    // Each cable by its best rule: a serial number no other cable shares (0), its port path
    // (1), its node (2).
    std::vector<int> rule(size_t(cables.size()));
    for (qsizetype i = 0; i < cables.size(); ++i)
        rule[size_t(i)] = serialCount(cables, cables[i].Serial) == 1 ? 0
                          : !cables[i].PortPath.isEmpty()            ? 1
                                                                     : 2;
    auto idOf = [&](qsizetype i) {
        const Cable &c = cables[i];
        return rule[size_t(i)] == 0 ? c.Serial : rule[size_t(i)] == 1 ? c.PortPath : c.Node;
    };
    // Two cables with one ID (a serial number that reads like another cable's port path, or
    // like a node): the one by the better rule keeps it, the others take their next rule;
    // a node, the last rule, always keeps its own. Each round moves a cable down a rule, so
    // this ends.
    // The next rule: a port path after a serial number (when there is one), else the node.
    auto demote = [&](qsizetype i) {
        int &r = rule[size_t(i)];
        const int was = r;
        r = r == 0 && !cables[i].PortPath.isEmpty() ? 1 : 2;
        return r != was;
    };
    for (bool again = true; again;) {
        again = false;
        // A node names its own cable first (find takes a node before anything else): another
        // cable's ID never reads like it.
        for (qsizetype i = 0; i < cables.size(); ++i)
            for (const Cable &other : cables)
                if (rule[size_t(i)] < 2 && &other != &cables[i] && other.Node == idOf(i))
                    again = demote(i) || again;
        if (again)
            continue;
        QMap<QString, QList<qsizetype>> byId;
        for (qsizetype i = 0; i < cables.size(); ++i)
            byId[idOf(i)] << i;
        for (const QList<qsizetype> &same : std::as_const(byId)) {
            if (same.size() < 2)
                continue;
            // The keeper: the node, else the one cable of the best rule there (none when two
            // share it).
            qsizetype keeper = -1;
            int best = 3, atBest = 0;
            for (const qsizetype i : same) {
                const int r = rule[size_t(i)];
                if (r == 2)
                    keeper = i;
                atBest = r < best ? 1 : atBest + (r == best);
                best = std::min(best, r);
            }
            if (keeper < 0 && atBest == 1)
                for (const qsizetype i : same)
                    if (rule[size_t(i)] == best)
                        keeper = i;
            for (const qsizetype i : same)
                if (i != keeper)
                    again = demote(i) || again;
        }
    }
    QStringList ids;
    for (qsizetype i = 0; i < cables.size(); ++i)
        ids << idOf(i);
    return ids;
}

void assignIds(QList<Cable> &cables)
{
    const QStringList ids = idsOf(cables);
    for (qsizetype i = 0; i < cables.size(); ++i)
        cables[i].Id = ids[i];
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
    // An ID before a port path: where one cable's port path is another's ID, the ID names it.
    const QStringList ids = idsOf(cables);
    if (const qsizetype i = ids.indexOf(want); i >= 0)
        return int(i);
    for (int i = 0; i < cables.size(); ++i)
        if (!cables[i].PortPath.isEmpty() && cables[i].PortPath == want)
            return i;
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
