#include "host/servicestate.h"

#include <atomic>

namespace {

// Constant-initialised before any code of the process runs, so no first access from any thread can
// ever reset a value that a query has already stored.
constinit std::atomic<ServiceState> current{ServiceState::deviceStateDown};
static_assert(std::atomic<ServiceState>::is_always_lock_free);

} // namespace

std::optional<ServiceState> serviceStateFromRaw(std::int64_t r) {
    // One unsigned comparison: every negative value lands far above 2.
    if (static_cast<std::uint64_t>(r) < 3)
        return static_cast<ServiceState>(r);
    return std::nullopt;
}

ServiceState currentServiceState() {
    return current.load();
}

void setCurrentServiceState(ServiceState state) {
    current.store(state);
}
