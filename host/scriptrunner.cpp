#include "host/utils.h"

#include "platform/hostconfig.h"
#include "platform/systemlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

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

// No exit status: the command never ran, or it was killed.
constexpr int noStatus = -1;

// The deepest chain of symbolic links we follow, as the kernel does.
constexpr int maxLinks = 40;

ScriptError scriptError(const QString& message, int status) {
    ScriptError error;
    error.insert(Utils::scriptErrorMessageKey, message);
    error.insert(Utils::scriptErrorNumberKey, status);
    return error;
}

QString bundlePathInUse(const HostConfig& config) {
    if (!config.bundlePath.isEmpty())
        return config.bundlePath;
    // The executable is <bundle>/Contents/bin/nodepanel.
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../.."));
}

// pkexec's own failure, told apart from the script's exit status 126 or 127 by what pkexec wrote.
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

// The check before anything runs as root on the user's behalf: only root and the trusted owner may be able
// to change manager.sh, bash or a folder they are found through. Otherwise any program of the user's could
// plant code that runs as root the next time Start is pressed.
class NodeFileCheck {
public:
    explicit NodeFileCheck(uint trustedOwner)
        : trustedOwner_(trustedOwner) {}

    enum class Kind { Folder, File };

    // Follows path from "/" the way the kernel does: each folder a name is looked up in, each symbolic link
    // on the way and the folder or file it ends at must be safe. Returns why not, naming what failed.
    std::optional<QString> check(const QString& path, Kind kind) const {
        QStringList pending = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QString current = QStringLiteral("/");
        struct stat info {};
        if (::lstat("/", &info) != 0)
            return unreadable(current);
        if (auto why = changeableBy(info, true))
            return refusal(current, *why, true);

        int links = 0;
        while (!pending.isEmpty()) {
            const QString name = pending.takeFirst();
            if (name == QLatin1String("."))
                continue;
            if (name == QLatin1String("..")) {
                // current holds no links, so its parent is found by name.
                current = QDir::cleanPath(current + QStringLiteral("/.."));
                continue;
            }
            const QString next =
                current == QLatin1String("/") ? current + name : current + QLatin1Char('/') + name;
            const QByteArray nextPath = QFile::encodeName(next);
            if (::lstat(nextPath.constData(), &info) != 0)
                return unreadable(next);

            if (S_ISLNK(info.st_mode)) {
                if (++links > maxLinks)
                    return refusal(next, QStringLiteral("goes through too many symbolic links"));
                // In a folder with the sticky bit the owner of a link can still replace it.
                if (!trusted(info.st_uid))
                    return refusal(next, notOwnedBy(info.st_uid), true);
                const std::optional<QString> target = linkTarget(nextPath);
                if (!target)
                    return unreadable(next);
                if (target->startsWith(QLatin1Char('/')))
                    current = QStringLiteral("/");
                pending = target->split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
                continue;
            }

            const bool last = pending.isEmpty();
            if ((!last || kind == Kind::Folder) && !S_ISDIR(info.st_mode))
                return refusal(next, QStringLiteral("is not a folder"));
            if (last && kind == Kind::File && !S_ISREG(info.st_mode))
                return refusal(next, QStringLiteral("is not a regular file"));
            // The folder the script runs in may not take new names from anyone else; the ones it is found
            // through may, when their sticky bit keeps others from replacing the names we follow.
            if (auto why = changeableBy(info, !last))
                return refusal(next, *why, true);
            current = next;
        }
        return std::nullopt;
    }

private:
    // Root could change anything anyway. The trusted owner is root too, except in tests, which run as
    // whoever runs them.
    bool trusted(uid_t owner) const { return owner == 0 || owner == trustedOwner_; }

    QString notOwnedBy(uid_t owner) const {
        QString expected = QStringLiteral("root");
        if (trustedOwner_ != 0)
            expected += QStringLiteral(" or uid ") + QString::number(trustedOwner_);
        return QStringLiteral("belongs to uid %1, not to %2").arg(owner).arg(expected);
    }

    // Why someone besides root and the trusted owner could change the folder or file, if they could.
    //
    // A folder others can write to but that has the sticky bit (such as /tmp) is accepted above the
    // Resources folder: there nobody can rename or remove a name they do not own, and every name we go on
    // through must belong to root or the trusted owner. A folder without it lets its writers swap any name
    // in it for their own.
    std::optional<QString> changeableBy(const struct stat& info, bool stickyWillDo) const {
        if (!trusted(info.st_uid))
            return notOwnedBy(info.st_uid);
        const bool othersWrite = info.st_mode & S_IWOTH;
        const bool groupWrites = (info.st_mode & S_IWGRP) && info.st_gid != 0;
        if (!othersWrite && !groupWrites)
            return std::nullopt;
        if (stickyWillDo && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX))
            return std::nullopt;
        if (othersWrite)
            return QStringLiteral("is writable by all users");
        return QStringLiteral("is writable by its group (gid %1)").arg(info.st_gid);
    }

    static std::optional<QString> linkTarget(const QByteArray& path) {
        QByteArray target(4096, '\0');
        const ssize_t length = ::readlink(path.constData(), target.data(), size_t(target.size()));
        if (length >= target.size())
            errno = ENAMETOOLONG;
        if (length < 0 || length >= target.size())
            return std::nullopt;
        target.truncate(length);
        return QFile::decodeName(target);
    }

    static QString refusal(const QString& path, const QString& why, bool changeable = false) {
        QString message = QStringLiteral("Refused to run the node's script as administrator: ") + path +
                          QLatin1Char(' ') + why;
        if (changeable)
            message +=
                QStringLiteral(", so a program without administrator rights could change what runs as root");
        return message + QLatin1Char('.');
    }

    static QString unreadable(const QString& path) {
        const int error = errno;
        return refusal(path,
                       QStringLiteral("cannot be checked (") + qt_error_string(error) + QLatin1Char(')'));
    }

    uint trustedOwner_;
};

// The reason not to run the node's files as root, if there is one. The Resources folder comes first, with
// the strict rule for the folder the script runs in.
std::optional<QString> untrustedNodeFiles(const QString& bundle, uint trustedOwner) {
    const NodeFileCheck check(trustedOwner);
    const QString resources = bundle + QStringLiteral("/Contents/Resources");
    if (auto why = check.check(resources, NodeFileCheck::Kind::Folder))
        return why;
    if (auto why = check.check(resources + QStringLiteral("/manager.sh"), NodeFileCheck::Kind::File))
        return why;
    return check.check(resources + QStringLiteral("/bash"), NodeFileCheck::Kind::File);
}

} // namespace

QString Utils::privilegedShellText(const QString& bundlePath, const QString& command) {
    QString quoted = bundlePath.trimmed();
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QStringLiteral("cd '") + quoted + QStringLiteral("/Contents/Resources'\nsudo ./bash ") + command;
}

std::optional<ScriptError> Utils::runPrivilegedScript(const QString& command) {
    const auto config = hostConfig();
    const QString bundle = bundlePathInUse(*config).trimmed();

    const QString line =
        QStringLiteral("command [") + command + QStringLiteral("] path [") + bundle + QLatin1Char(']');
    systemLog(line);
    uploadLog(line);

    const QString shellText = privilegedShellText(bundle, command);
    const QString shell = QStringLiteral("/bin/sh");
    QProcess process;
    if (config->elevate) {
        if (auto refusal = untrustedNodeFiles(bundle, config->trustedOwnerUid))
            return scriptError(*refusal, noStatus);
        process.setProgram(config->elevationProgram);
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
        if (config->elevate)
            return scriptError(config->elevationProgram +
                                   QStringLiteral(" is not installed, so the node's script cannot run as "
                                                  "administrator: install the Debian package pkexec."),
                               noStatus);
        return scriptError(shell + QStringLiteral(" could not be started: ") + process.errorString(),
                           noStatus);
    }
    // The user may sit at the administrator prompt for as long as they like.
    process.waitForFinished(-1);
    const QString errorOutput = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();

    if (process.exitStatus() == QProcess::CrashExit)
        return scriptError(QStringLiteral("manager.sh did not finish: the process running it was killed."),
                           noStatus);
    const int status = process.exitCode();
    if (status == 0)
        return std::nullopt;
    if (config->elevate) {
        if (auto message = pkexecFailureMessage(status, errorOutput))
            return scriptError(*message, status);
    }
    if (errorOutput.isEmpty())
        return scriptError(QStringLiteral("manager.sh exited with status ") + QString::number(status),
                           status);
    return scriptError(errorOutput, status);
}
