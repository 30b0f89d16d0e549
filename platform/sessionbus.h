#pragma once

#include <QDeadlineTimer>

// The session bus, connected on a thread of its own. Qt connects under a lock that every later user of the
// bus waits on, so a bus that accepts and never speaks, or a stopped bus daemon, would otherwise hold up
// the window for as long as the bus library waits.
enum class SessionBusState { Connecting, Connected, Absent };

// Starts connecting, once, and waits until the deadline at most, or not at all once an earlier wait ran
// out. Once it says Connected, QDBusConnection::sessionBus() answers at once.
SessionBusState waitForSessionBus(QDeadlineTimer deadline);

// Whether the session bus hangs: accepts (or cannot refuse, being stopped) and does not answer the first
// word every client says, by the deadline. Such a bus holds up every user of it, Qt's own among them (the
// menu bar, accessibility), for as long as the bus library waits. False for a bus that answers, refuses or
// is missing, and for an address that is no local socket. Needs no application object.
bool sessionBusHangs(QDeadlineTimer deadline);
