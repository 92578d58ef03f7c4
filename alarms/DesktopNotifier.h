#pragma once
// Desktop notifications through org.freedesktop.Notifications on the session bus, when a
// notification service is there; without one (a headless machine, SSH) nothing happens.

#include <QString>

class AlarmMonitor;

namespace DesktopNotifier {

// Each alarm's start and end as a notification, for as long as monitor lives.
void follow(AlarmMonitor &monitor);

// Shows summary and body; urgent ones stay until the user closes them. Returns whether a
// notification service took the call (it is made without waiting for the answer).
bool notify(const QString &summary, const QString &body, bool urgent);

} // namespace DesktopNotifier
