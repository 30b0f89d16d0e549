#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Every operation that reaches outside the process. No instances and no state in memory: what must
// persist lives in the settings, what the whole process shares lives in currentServiceState.
class Utils {
public:
    Utils() = delete;

    // Asks the node for its state, stores it in currentServiceState and then calls callback, exactly once,
    // on the network thread. Returns at once. A failed query stores deviceStateDown.
    static void queryNodeStatus(std::function<void()> callback);

    // The completion of a status query: body is the reply (absent after a transport failure).
    static void applyStatusResponse(const std::optional<QByteArray>& body,
                                    const std::optional<QString>& transportError,
                                    const std::function<void()>& callback);
};
