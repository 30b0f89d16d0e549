#include "host/utils.h"

#include "host/nodefiles.h"
#include "host/scriptrunner.h"
#include "platform/output.h"
#include "platform/systemlog.h"

#include <QCoreApplication>
#include <QProcess>

namespace {

// pkexec starts every complaint of its own about the authorisation with this.
const QString pkexecFailureWords = QStringLiteral("Error executing command as another user");

using Kind = ScriptFailure::Kind;

// What pkexec says (in the C locale) when it does not run the command, and what that means.
const std::pair<QString, Kind> pkexecCauses[] = {
    {QStringLiteral("Error executing command as another user: Request dismissed"), Kind::Dismissed},
    {QStringLiteral("Error executing command as another user: Not authorized"), Kind::NotAuthorised},
    {QStringLiteral("Error executing command as another user: No authentication agent found"), Kind::NoAgent},
    {QStringLiteral("Error getting authority:"), Kind::NoAuthority},
};

// The most of a script's error output that is kept.
constexpr qsizetype maxErrorBytes = 4096;

// The failure's words, each text of the "ScriptFailure" translation context, in English or translated.
QString describe(const ScriptFailure& failure, bool translated) {
    const auto say = [translated](const char* text) {
        return translated ? QCoreApplication::translate("ScriptFailure", text) : QString::fromUtf8(text);
    };
    switch (failure.kind) {
    case Kind::Dismissed:
        return say(QT_TRANSLATE_NOOP("ScriptFailure", "The administrator password request was dismissed."));
    case Kind::NotAuthorised:
        return say(QT_TRANSLATE_NOOP("ScriptFailure",
                                     "You are not authorised to run the node's script as administrator."));
    case Kind::NoAgent:
        return say(QT_TRANSLATE_NOOP(
            "ScriptFailure", "No authentication agent is running to ask for the administrator password."));
    case Kind::NoAuthority:
        return say(QT_TRANSLATE_NOOP("ScriptFailure",
                                     "The system's authorisation service (polkit) is not available."));
    case Kind::ElevationFailed:
        return say(QT_TRANSLATE_NOOP("ScriptFailure", "The administrator request failed: %1"))
            .arg(failure.detail);
    case Kind::Refused:
        return refusalText(failure.refusal, translated);
    case Kind::NoElevation:
        return say(QT_TRANSLATE_NOOP("ScriptFailure",
                                     "%1 is not installed, so the node's script cannot run as administrator: "
                                     "install the Debian package pkexec."))
            .arg(failure.program);
    case Kind::NotStarted:
        return say(QT_TRANSLATE_NOOP("ScriptFailure", "%1 could not be started: %2"))
            .arg(failure.program, failure.detail);
    case Kind::Killed:
        return say(QT_TRANSLATE_NOOP("ScriptFailure",
                                     "manager.sh did not finish: the process running it was killed."));
    case Kind::ExitStatus:
        return say(QT_TRANSLATE_NOOP("ScriptFailure", "manager.sh exited with status %1"))
            .arg(failure.exitStatus);
    case Kind::ScriptSaid:
        break;
    }
    return failure.detail;
}

} // namespace

QString scriptFailureLine(const ScriptFailure& failure) {
    return describe(failure, false);
}

QString scriptFailureSentence(const ScriptFailure& failure) {
    return describe(failure, true);
}

std::optional<ScriptFailure> pkexecFailure(int status, const QString& errorOutput) {
    // pkexec speaks before anything else runs, so only words that open the error output are its own: the
    // same words further down, or with another status, come from the script.
    if ((status != 126 && status != 127) ||
        !(errorOutput.startsWith(pkexecFailureWords) || errorOutput.startsWith(pkexecCauses[3].first)))
        return std::nullopt;
    for (const auto& [words, kind] : pkexecCauses) {
        if (errorOutput.startsWith(words))
            return ScriptFailure{kind, {}, status};
    }
    // 126 is pkexec's code for a dismissed request; for anything else we pass its words on.
    if (status == 126)
        return ScriptFailure{Kind::Dismissed, {}, status};
    return ScriptFailure{Kind::ElevationFailed, errorOutput, status};
}

std::optional<ScriptFailure> Utils::runPrivilegedScript(const HostConfig& config, const QString& command) {
    // As the executable's location gives it, untrimmed: a bundle whose name ends in a blank runs its own
    // script, never a sibling's.
    const QString& bundle = config.bundlePath;

    const QString line =
        QStringLiteral("command [") + command + QStringLiteral("] path [") + bundle + QLatin1Char(']');
    systemLog(line);
    uploadLog(config, line);

    // An installed bundle's helper runs the same lines as root under the panel's own polkit action, whose
    // password prompt says what it is for; without one, pkexec runs the shell behind its generic prompt.
    // Decided before the check, which then covers the helper whenever it is there.
    const QString helper = nodeHelperPath(bundle);
    const QString verb = command.section(QLatin1Char(' '), 1);
    const bool viaHelper = config.elevate && (verb == QLatin1String("up") || verb == QLatin1String("down")) &&
                           lookUpFile(helper).type != FileFacts::Type::Missing;

    // Whoever started the panel, all of this runs as root: nothing in it may be changeable by anyone else.
    if (auto refusal = untrustedNodeFiles(bundle, config.trustedOwnerUid)) {
        ScriptFailure failure(Kind::Refused);
        failure.refusal = *refusal;
        return failure;
    }

    const QString shellText = privilegedShellText(bundle, command);
    const QString shell = QStringLiteral("/bin/sh");
    QProcess process;
    if (config.elevate) {
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

    // The command's line is out before anything asks for a password, so the output reads in order; a
    // stuck reader holds this job back a moment at most.
    flushOutput(std::chrono::milliseconds(200));
    process.start();
    if (!process.waitForStarted(-1)) {
        ScriptFailure failure(config.elevate ? Kind::NoElevation : Kind::NotStarted,
                              config.elevate ? QString() : process.errorString());
        failure.program = config.elevate ? config.elevationProgram : shell;
        return failure;
    }
    // The user may sit at the administrator prompt for as long as they like. The error output is read as
    // it comes and only its start kept: a script that floods it must not flood the panel, its log or the
    // account server.
    QByteArray errors;
    const auto keep = [&process, &errors] {
        const QByteArray chunk = process.readAllStandardError();
        errors += chunk.left(std::max<qsizetype>(0, maxErrorBytes + 1 - errors.size()));
    };
    process.setReadChannel(QProcess::StandardError);
    while (process.waitForReadyRead(-1))
        keep();
    process.waitForFinished(-1);
    keep();
    QString errorOutput = QString::fromLocal8Bit(errors.left(maxErrorBytes)).trimmed();
    if (errors.size() > maxErrorBytes)
        errorOutput += QStringLiteral(" [cut: more than 4 KiB]");

    if (process.exitStatus() == QProcess::CrashExit)
        return ScriptFailure(Kind::Killed);
    const int status = process.exitCode();
    if (status == 0)
        return std::nullopt;
    if (config.elevate) {
        if (auto failure = pkexecFailure(status, errorOutput))
            return failure;
    }
    if (errorOutput.isEmpty())
        return ScriptFailure{Kind::ExitStatus, {}, status};
    return ScriptFailure{Kind::ScriptSaid, errorOutput, status};
}
