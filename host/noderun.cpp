#include "host/noderun.h"

#include "host/nodefiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <climits>
#include <cstdio>

#include <unistd.h>

QString bundleOfExecutableFolder(const QString& folder) {
    return QDir::cleanPath(folder + QStringLiteral("/../.."));
}

QString bundleOfThisProgram() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0 || length >= ssize_t(sizeof self))
        return {};
    return bundleOfExecutableFolder(QFile::decodeName(QByteArray(self, length)) + QStringLiteral("/.."));
}

QString privilegedShellText(const QString& bundlePath, const QString& command) {
    QString quoted = bundlePath;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QStringLiteral("cd '") + quoted + QStringLiteral("/Contents/Resources'\nsudo ./bash ") + command;
}

int execNodeCommand(const QString& bundle, const QString& command) {
    if (const std::optional<FileRefusal> refusal = untrustedNodeFiles(bundle, 0)) {
        std::fprintf(stderr, "%s\n", refusalText(*refusal).toLocal8Bit().constData());
        return 1;
    }
    const QByteArray shellText = privilegedShellText(bundle, command).toLocal8Bit();
    // From "/", as the panel runs it: a cd that fails leaves "./bash" pointing at nothing.
    if (::chdir("/") != 0) {
        std::perror("nodepanel-manager: /");
        return 1;
    }
    ::execl("/bin/sh", "sh", "-c", shellText.constData(), static_cast<char*>(nullptr));
    std::perror("nodepanel-manager: /bin/sh");
    return 127;
}
