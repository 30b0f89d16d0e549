#include "port8080lock.h"

#include <QDir>

Port8080Lock::Port8080Lock()
    : file_(QDir::temp().filePath(QStringLiteral("nodepanel-port8080.lock"))) {
    // A suite holds the port for minutes. Only a holder that has ended leaves a stale lock; by default
    // QLockFile would also take a live holder's lock from it once the file is 30 seconds old.
    file_.setStaleLockTime(0);
}

bool Port8080Lock::tryLock(std::chrono::milliseconds timeout) {
    return file_.tryLock(int(timeout.count()));
}
