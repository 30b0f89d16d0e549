#pragma once

#include <QObject>

#include <functional>

// Calls handler on context's thread whenever the process gets SIGINT, SIGTERM or SIGHUP. A shut-down arrives
// as SIGTERM and cannot be cancelled, and Ctrl+C in a terminal should just end the program: so these end
// it without asking anything.
void onTerminationSignals(QObject* context, std::function<void()> handler);
