#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QString>

#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>

class QWidget;

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

    // The entries of the error map that runPrivilegedScript returns: the message a user can read (a text,
    // always there) and the command's exit status (an int, -1 when there is none: nothing ran, or it was
    // killed).
    static constexpr QLatin1String scriptErrorMessageKey{"NSAppleScriptErrorMessage"};
    static constexpr QLatin1String scriptErrorNumberKey{"NSAppleScriptErrorNumber"};

    // Runs the node command ("./manager.sh up") in the bundle's Resources folder as root and waits for it,
    // however long the user takes at the administrator prompt: never call it on the main thread. Logs and
    // uploads the command line first. When it has to ask for administrator rights it first refuses node
    // files and folders that anyone but root could change. Nothing on success, else an error map (a
    // ScriptError) whose message says what went wrong.
    static std::optional<QVariantMap> runPrivilegedScript(const QString& command);
    // The two shell lines that runPrivilegedScript runs: cd into the Resources folder of the bundle (trimmed,
    // quoted for the shell), then "sudo ./bash " and the command as it is.
    static QString privilegedShellText(const QString& bundlePath, const QString& command);

    // Asks a question on the window without blocking anyone: one button per text entry of buttonTitles,
    // in order, the first the default. Calls completion once, on the main thread, with 1000 + the index
    // of the pressed button. Main thread only.
    static void showConfirmation(const QString& title, const QString& message, QWidget* window,
                                 const QVariantList& buttonTitles,
                                 std::function<void(int response)> completion);
};
