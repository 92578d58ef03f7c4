#include "alarms/DesktopNotifier.h"

#include "alarms/AlarmMonitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

namespace DesktopNotifier {

bool notify(const QString &summary, const QString &body, bool urgent)
{
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service))
        return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                       service, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(urgent ? 2 : 1)));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("tx9-logger"));
    call << QStringLiteral("TX-9 Logger") << uint(0) << QStringLiteral("tx9-logger") << summary
         << body << QStringList() << hints << int(urgent ? 0 : -1);
    return bus.send(call);
}

void follow(AlarmMonitor &monitor)
{
    QObject::connect(
        &monitor, &AlarmMonitor::alarm, &monitor, [](const AlarmEvent &e, const QString &unit) {
            notify(QStringLiteral("Alarm %1 %2")
                       .arg(AlarmRules::kindName(e.Kind),
                            e.Start ? QStringLiteral("started") : QStringLiteral("ended")),
                   AlarmLog::sentence(e, unit), e.Start);
        });
}

} // namespace DesktopNotifier
