#pragma once

#include <QString>

#include <functional>

// Writes one line to the system journal and, with a timestamp, to standard error and to the panel's own
// log (LogBook). The text is taken literally: it is never used as a format.
void systemLog(const QString& line);

// Sees every line that systemLog writes, on the writing thread. Tests use it to assert log lines.
using SystemLogObserver = std::function<void(const QString& line)>;

// Installs the observer (an empty one removes it) and returns the one it replaces.
SystemLogObserver setSystemLogObserver(SystemLogObserver observer);
