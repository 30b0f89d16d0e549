#pragma once

#include "host/nodefiles.h"

#include <QList>
#include <QSettings>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Why a node command failed: what went wrong, and its detail. The log and the account server keep the
// English line (scriptFailureLine), the screen and the desktop say it in the user's language
// (scriptFailureSentence).
struct ScriptFailure {
    enum class Kind {
        Dismissed,       // the administrator password request was dismissed
        NotAuthorised,   // the user may not run the script as administrator
        NoAgent,         // no authentication agent runs to ask for the password
        NoAuthority,     // the system's authorisation service is not available
        ElevationFailed, // detail: what the elevation program said
        Refused,         // refusal: the node file that stops the run
        NoElevation,     // program: the elevation program, which is not installed
        NotStarted,      // program: the shell; detail: the system's reason
        Killed,          // the process running the script was killed
        ExitStatus,      // the script failed without a word, with exitStatus
        ScriptSaid,      // detail: the script's own error output, as it is
    };
    explicit ScriptFailure(Kind kind = Kind::ScriptSaid, QString detail = {}, int exitStatus = -1)
        : kind(kind)
        , detail(std::move(detail))
        , exitStatus(exitStatus) {}

    Kind kind;
    QString detail;
    // The command's exit status; -1 when it has none: it never ran, was refused, or was killed.
    int exitStatus;
    // The program that could not run.
    QString program;
    FileRefusal refusal;
};

// Everything about the outside world the panel talks to, in one value. The application builds it from the
// compiled-in constants and hands it to the window, the screen and every operation of Utils; tests build
// their own to point the panel at local servers and to shorten the pauses.
struct HostConfig {
    // The node's status endpoint.
    QUrl statusUrl;
    // https://<account host>: the log API and the account page.
    QUrl accountBaseUrl;
    // https://<web site host>: the legal pages.
    QUrl websiteBaseUrl;
    // Trusted for HTTPS besides the system's certificate authorities. Verification is never turned off.
    QList<QSslCertificate> extraCaCertificates;

    // Bounds a whole HTTP exchange, from sending the request to the last byte of the reply.
    std::chrono::milliseconds httpTimeout{5000};
    // How long the screen shows its first busy view before the first status query.
    std::chrono::milliseconds startupPause{200};
    // How often the uptime clock ticks. Zero leaves the clock to whoever calls timerTick(): tests do, a
    // second at a time.
    std::chrono::milliseconds clockPeriod{1000};
    // How long a start or stop waits after its script before it checks the node.
    std::chrono::milliseconds scriptPause{3000};

    // The settings file; empty means the user's own nodepanel settings.
    QString settingsPath;

    // The bundle: <bundle>/Contents/bin/nodepanel, the node files in <bundle>/Contents/Resources.
    QString bundlePath;
    // Whether node commands go through the elevation program (when the panel does not run as root).
    bool elevate = false;
    // The program that asks the user for administrator rights.
    QString elevationProgram = QStringLiteral("pkexec");
    // Who besides root may own the node files and the folders above them (tests: the user running them).
    uint trustedOwnerUid = 0;

    // Runs a node command ("./manager.sh up") with administrator rights; nothing on success. Empty means
    // the real runner, Utils::runPrivilegedScript; tests put a stand-in here.
    std::function<std::optional<ScriptFailure>(const QString& command)> scriptRunner;

    // A settings object for the calling thread. Each use opens its own, which is safe across threads;
    // callers sync() after every write, so that another process sees it at once.
    std::unique_ptr<QSettings> openSettings() const;
};
