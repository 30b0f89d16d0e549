#include "host/utils.h"

#include "host/nodefiles.h"
#include "host/scriptrunner.h"
#include "platform/systemlog.h"

#include <QProcess>

namespace {

// pkexec starts every complaint of its own about the authorisation with this.
const QString pkexecFailure = QStringLiteral("Error executing command as another user");

struct PkexecCause {
    QString text;
    QString message;
};

// What pkexec says (in the C locale) when it does not run the command, and what we tell the user.
const PkexecCause pkexecCauses[] = {
    {QStringLiteral("Error executing command as another user: Request dismissed"),
     QStringLiteral("The administrator password request was dismissed.")},
    {QStringLiteral("Error executing command as another user: Not authorized"),
     QStringLiteral("You are not authorised to run the node's script as administrator.")},
    {QStringLiteral("Error executing command as another user: No authentication agent found"),
     QStringLiteral("No authentication agent is running to ask for the administrator password.")},
    {QStringLiteral("Error getting authority:"),
     QStringLiteral("The system's authorisation service (polkit) is not available.")},
};

} // namespace

std::optional<QString> pkexecFailureMessage(int status, const QString& errorOutput) {
    if (status != 126 && status != 127)
        return std::nullopt;
    for (const PkexecCause& cause : pkexecCauses) {
        if (errorOutput.contains(cause.text))
            return cause.message;
    }
    if (!errorOutput.contains(pkexecFailure))
        return std::nullopt;
    // 126 is pkexec's code for a dismissed request; for anything else we pass its words on.
    if (status == 126)
        return pkexecCauses[0].message;
    return QStringLiteral("The administrator request failed: ") + errorOutput;
}

QString privilegedShellText(const QString& bundlePath, const QString& command) {
    QString quoted = bundlePath.trimmed();
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QStringLiteral("cd '") + quoted + QStringLiteral("/Contents/Resources'\nsudo ./bash ") + command;
}

std::optional<ScriptFailure> Utils::runPrivilegedScript(const HostConfig& config, const QString& command) {
    const QString bundle = config.bundlePath.trimmed();

    const QString line =
        QStringLiteral("command [") + command + QStringLiteral("] path [") + bundle + QLatin1Char(']');
    systemLog(line);
    uploadLog(config, line);

    const QString shellText = privilegedShellText(bundle, command);
    const QString shell = QStringLiteral("/bin/sh");
    QProcess process;
    if (config.elevate) {
        // An installed bundle's helper runs the same lines as root under the panel's own polkit action, whose
        // password prompt says what it is for; without one, pkexec runs the shell behind its generic prompt.
        // Decided before the check, which then covers the helper whenever it is there.
        const QString helper = nodeHelperPath(bundle);
        const QString verb = command.section(QLatin1Char(' '), 1);
        const bool viaHelper = command == QLatin1String("./manager.sh ") + verb &&
                               (verb == QLatin1String("up") || verb == QLatin1String("down")) &&
                               lookUpFile(helper).type != FileFacts::Type::Missing;
        if (auto refusal = untrustedNodeFiles(bundle, config.trustedOwnerUid))
            return ScriptFailure{*refusal};
        process.setProgram(config.elevationProgram);
        if (viaHelper)
            process.setArguments({QStringLiteral("--disable-internal-agent"), helper, verb});
        else
            process.setArguments(
                {QStringLiteral("--disable-internal-agent"), shell, QStringLiteral("-c"), shellText});
        // pkexec's complaints are matched by their English text.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        process.setProcessEnvironment(environment);
    } else {
        process.setProgram(shell);
        process.setArguments({QStringLiteral("-c"), shellText});
    }
    // From "/", a cd that fails leaves "./bash" pointing at nothing rather than at a file wherever the panel
    // was started.
    process.setWorkingDirectory(QStringLiteral("/"));
    // Nothing may wait for input that never comes: the prompt is the authentication agent's.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());

    process.start();
    if (!process.waitForStarted(-1)) {
        if (config.elevate)
            return ScriptFailure{config.elevationProgram +
                                 QStringLiteral(" is not installed, so the node's script cannot run as "
                                                "administrator: install the Debian package pkexec.")};
        return ScriptFailure{shell + QStringLiteral(" could not be started: ") + process.errorString()};
    }
    // The user may sit at the administrator prompt for as long as they like.
    process.waitForFinished(-1);
    const QString errorOutput = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();

    if (process.exitStatus() == QProcess::CrashExit)
        return ScriptFailure{QStringLiteral("manager.sh did not finish: the process running it was killed.")};
    const int status = process.exitCode();
    if (status == 0)
        return std::nullopt;
    if (config.elevate) {
        if (auto message = pkexecFailureMessage(status, errorOutput))
            return ScriptFailure{*message, status};
    }
    if (errorOutput.isEmpty())
        return ScriptFailure{QStringLiteral("manager.sh exited with status ") + QString::number(status),
                             status};
    return ScriptFailure{errorOutput, status};
}
