#include "host/utils.h"

#include "host/replies.h"
#include "host/servicestate.h"
#include "platform/httpexchange.h"
#include "platform/systemlog.h"

void Utils::queryNodeStatus(const HostConfig& config, std::function<void()> callback, QObject* context) {
    sendLoopbackGet(
        config.statusUrl, config.httpTimeout,
        [callback = std::move(callback)](HttpOutcome outcome) {
            applyStatusResponse(outcome.body, outcome.transportError, callback);
        },
        context);
}

void Utils::applyStatusResponse(const std::optional<QByteArray>& body,
                                const std::optional<QString>& transportError,
                                const std::function<void()>& callback) {
    std::optional<ServiceState> state = ServiceState::deviceStateDown;
    if (!transportError && body) {
        state = stateFromStatusBody(*body);
        if (!state)
            systemLog(unparsableReplyLine);
    }
    setCurrentServiceState(state.value_or(ServiceState::deviceStateDown));
    callback();
}
