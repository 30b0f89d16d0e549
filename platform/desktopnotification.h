#pragma once

#include <QString>

// Shows a notice on the desktop through its notification service (org.freedesktop.Notifications on the
// session bus), so that a user whose window is in the background learns of it. It never waits for the
// service: without a session bus, or with no such service on it, nothing happens; only the first use of a
// bus that is still connecting waits for it, briefly. Main thread only.
void notifyDesktop(const QString& summary, const QString& body);
