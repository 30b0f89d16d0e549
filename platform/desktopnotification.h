#pragma once

#include <QString>

// Shows a notice on the desktop through its notification service (org.freedesktop.Notifications on the
// session bus), so that a user whose window is in the background learns of it. It never waits for the
// service: without a session bus, or with no such service on it, nothing happens. Main thread only.
void notifyDesktop(const QString& summary, const QString& body);
