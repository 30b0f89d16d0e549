#pragma once

#include <QLockFile>

#include <chrono>

// Port 8080 for one end-to-end suite, machine-wide. CTest's resource lock keeps the suites of one run off
// the port together; this lock also keeps out suites run from another build tree on this machine.
class Port8080Lock {
public:
    Port8080Lock();
    Port8080Lock(const Port8080Lock&) = delete;
    Port8080Lock& operator=(const Port8080Lock&) = delete;

    // Waits for whichever run holds the port to let go. False when it kept it longer than timeout.
    bool tryLock(std::chrono::milliseconds timeout = std::chrono::seconds(200));

private:
    QLockFile file_;
};
