#pragma once

#include "platform/systemlog.h"

#include <QMutex>
#include <QStringList>

// Collects every system-log line written while it exists, from any thread.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    int count(const QString& line) const { return int(lines().count(line)); }
    void clear();

private:
    mutable QMutex mutex_;
    QStringList lines_;
    SystemLogObserver previous_;
};
