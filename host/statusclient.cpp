#include "host/utils.h"

#include "control/servicestate.h"
#include "host/jsonreply.h"
#include "platform/hostconfig.h"
#include "platform/httpexchange.h"

namespace {

ServiceState stateFromReply(const std::optional<QByteArray>& body,
                            const std::optional<QString>& transportError) {
    if (transportError || !body)
        return ServiceState::deviceStateDown;
    const std::optional<QJsonObject> reply = replyObject(*body);
    if (!reply)
        return ServiceState::deviceStateDown;
    const std::optional<qint64> raw = integralValue(reply->value(QLatin1String("state")));
    if (!raw)
        return ServiceState::deviceStateDown;
    return serviceStateFromRaw(*raw).value_or(ServiceState::deviceStateDown);
}

} // namespace

void Utils::queryNodeStatus(std::function<void()> callback) {
    const auto config = hostConfig();
    HttpRequest request;
    request.client = HttpClient::Loopback;
    request.request = QNetworkRequest(config->statusUrl);
    request.timeout = config->httpTimeout;
    sendHttpRequest(std::move(request), [callback = std::move(callback)](HttpOutcome outcome) {
        applyStatusResponse(outcome.body, outcome.transportError, callback);
    });
}

void Utils::applyStatusResponse(const std::optional<QByteArray>& body,
                                const std::optional<QString>& transportError,
                                const std::function<void()>& callback) {
    setCurrentServiceState(stateFromReply(body, transportError));
    callback();
}
