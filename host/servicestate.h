#pragma once

#include <cstdint>
#include <optional>

// What the node last reported about itself. The raw values are the integers of the node's status reply.
enum class ServiceState : std::uint8_t {
    deviceStateDown = 0,   // not running; also the value of every failed or unreadable query
    deviceStateUp = 1,     // running
    deviceStateClosed = 2, // reports itself closed: not running, yet a state of its own
};

// The state whose raw value is r, if there is one. Negative values have no state.
std::optional<ServiceState> serviceStateFromRaw(std::int64_t r);

inline std::int64_t rawValue(ServiceState state) {
    return static_cast<std::int64_t>(state);
}

// The result of the most recently completed status query, for the whole process; deviceStateDown before
// the first one. Written only by the status client, read from any thread.
ServiceState currentServiceState();
void setCurrentServiceState(ServiceState state);
