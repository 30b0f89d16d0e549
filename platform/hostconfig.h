#pragma once

#include <QList>
#include <QSettings>
#include <QSslCertificate>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// What a node command that failed reports: a message a user can read, and the exit status.
using ScriptError = QVariantMap;

// Everything about the outside world that the panel talks to, in one value. Production builds it from
// the compiled-in constants; tests build their own to point the panel at local servers and to shorten
// the pauses.
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

    // How long a start or stop waits after its script before it checks the node.
    std::chrono::milliseconds scriptPause{3000};

    // The settings file; empty means the user's own nodepanel settings.
    QString settingsPath;

    // The bundle: <bundle>/Contents/bin/nodepanel, the node files in <bundle>/Contents/Resources. Empty
    // means the bundle this executable lies in.
    QString bundlePath;
    // Whether node commands go through the elevation program (when the panel does not run as root).
    bool elevate = false;
    // The program that asks the user for administrator rights.
    QString elevationProgram = QStringLiteral("pkexec");
    // The owner that the node files and every folder above them must have before they run as
    // administrator.
    uint trustedOwnerUid = 0;

    // Runs a node command ("./manager.sh up") with administrator rights; nothing on success. Production
    // uses the real runner; tests put a stand-in here.
    std::function<std::optional<ScriptError>(const QString& command)> scriptRunner;

    // The configuration compiled into this build.
    static HostConfig production();
};

// The configuration in force. Production's until installHostConfig replaces it.
std::shared_ptr<const HostConfig> hostConfig();

// Replaces the configuration in force for every later call.
void installHostConfig(HostConfig config);

// A settings object for the current thread; each use opens its own, which is safe across threads.
// Callers sync() after every write, so another process sees it at once.
std::unique_ptr<QSettings> openSettings();
