#pragma once

#include "host/hostconfig.h"

#include <QByteArray>
#include <QString>
#include <QVariantList>

#include <functional>
#include <optional>

class QObject;
class QWidget;

// Looks up the icon of the confirmation questions, which every question would otherwise look up in its
// own turn, so that later questions find it at hand. Main thread only.
void prepareConfirmation();

// The answers of a confirmation question: 1000 plus the index of the pressed button, or the cancel code
// when the question was closed without an answer (Escape, the window's close button).
inline constexpr int modalResponseCancel = 0;
inline constexpr int alertFirstButtonReturn = 1000;
inline constexpr int alertSecondButtonReturn = 1001;

// Every operation that reaches outside the process. No instances and no state in memory: what must
// persist lives in the settings, what the whole process shares lives in currentServiceState, and where to
// reach comes with each call.
class Utils {
public:
    Utils() = delete;

    // Asks the node for its state, stores it in currentServiceState and then calls callback, exactly once,
    // on the network thread. Returns at once. A failed query stores deviceStateDown. With a context, the
    // query runs on the calling thread, the context's (the main thread for a screen), and calls back there,
    // unless the context is gone first.
    static void queryNodeStatus(const HostConfig& config, std::function<void()> callback,
                                QObject* context = nullptr);

    // The completion of a status query: body is the reply (absent after a transport failure).
    static void applyStatusResponse(const std::optional<QByteArray>& body,
                                    const std::optional<QString>& transportError,
                                    const std::function<void()>& callback);

    // Sends one line to the account server's remote log, tagged with this installation's identifier and
    // the system and panel versions, after writing its encoded text to standard output. Returns at once;
    // the caller never learns the outcome, and a line that cannot be delivered is lost.
    static void uploadLog(const HostConfig& config, const QString& message);

    // The completion of an upload, on the network thread: writes the server's answer to the system log.
    static void reportUploadResult(const std::optional<QByteArray>& body,
                                   const std::optional<QString>& transportError);

    // The installation identifier kept in the settings under "uuid": created on first use, then returned
    // as stored, whatever its form.
    static QString deviceUUID(const HostConfig& config);

    // "Mac " and the first three numbers of the running kernel's release, e.g. "Mac 6.1.0".
    static QString osVersionString();

    // The project version compiled in, or "unknown".
    static QString appVersion();

    // Runs the node command ("./manager.sh up") in the bundle's Resources folder as root and waits for it,
    // however long the user takes at the administrator prompt: never call it on the main thread. Logs and
    // uploads the command line first. When it has to ask for administrator rights it first refuses node
    // files and folders that anyone but root could change. Nothing on success.
    static std::optional<ScriptFailure> runPrivilegedScript(const HostConfig& config, const QString& command);

    // Asks a question on the window without blocking anyone: one button per text entry of buttonTitles,
    // in order, the first the default. Calls completion once, on the main thread, with 1000 + the index
    // of the pressed button, or with modalResponseCancel when Escape or the close button ends it. Main
    // thread only.
    static void showConfirmation(const QString& title, const QString& message, QWidget* window,
                                 const QVariantList& buttonTitles,
                                 std::function<void(int response)> completion);
};
