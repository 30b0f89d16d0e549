#include "platform/sessionbus.h"

#include <QDBusConnection>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Never destroyed: the connecting thread may still wait on the bus when the process ends.
struct Connection {
    std::mutex mutex;
    std::condition_variable settled;
    SessionBusState state = SessionBusState::Connecting;
    bool started = false, late = false;
};

Connection& connection() {
    static auto* const instance = new Connection;
    return *instance;
}

} // namespace

SessionBusState waitForSessionBus(QDeadlineTimer deadline) {
    Connection& bus = connection();
    std::unique_lock lock(bus.mutex);
    if (!std::exchange(bus.started, true))
        std::thread([&bus] {
            const bool connected = QDBusConnection::sessionBus().isConnected();
            const std::lock_guard lock(bus.mutex);
            bus.state = connected ? SessionBusState::Connected : SessionBusState::Absent;
            bus.settled.notify_all();
        }).detach();
    if (!bus.late && !bus.settled.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()),
                                           [&bus] { return bus.state != SessionBusState::Connecting; }))
        bus.late = true;
    return bus.state;
}
