#pragma once

#include <QList>
#include <QSettings>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Why a node command failed: a sentence a user can read, and the command's exit status (-1 when it has
// none: it never ran, was refused, or was killed).
struct ScriptFailure {
    QString message;
    int exitStatus = -1;
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
