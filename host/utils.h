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

    // Sends one line to the account server's remote log, tagged with this installation's identifier and
    // the system and panel versions, after writing its encoded text to standard output. Returns at once;
    // the caller never learns the outcome, and a line that cannot be delivered is lost.
    static void uploadLog(const QString& message);

    // The completion of an upload, on the network thread: writes the server's answer to the system log.
    static void reportUploadResult(const std::optional<QByteArray>& body,
                                   const std::optional<QString>& transportError);

    // The installation identifier kept in the settings under "uuid": created on first use, then returned
    // as stored, whatever its form.
    static QString deviceUUID();

    // "Mac " and the first three numbers of the running kernel's release, e.g. "Mac 6.1.0".
    static QString osVersionString();
    // The same text for a given kernel release: "6.1.0-18-amd64" gives "Mac 6.1.0", "6.5" gives
    // "Mac 6.5.0"; a missing number is 0.
    static QString osVersionFromRelease(const QString& release);

    // The project version compiled in, or "unknown".
    static QString appVersion();
};
