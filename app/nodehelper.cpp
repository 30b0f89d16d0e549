// nodepanel-manager up|down: the one program the panel's polkit action lets pkexec run as root. It runs the
// node's manager.sh with the verb in the bundle it lies in, by the same shell lines the panel would hand to
// a root shell itself. Nothing of the caller's chooses the bundle: not the arguments, not the environment,
// not the working folder.
#include "host/nodefiles.h"
#include "host/scriptrunner.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <climits>
#include <cstdio>
#include <cstring>

#include <unistd.h>

int main(int argc, char* argv[]) {
    if (argc != 2 || (std::strcmp(argv[1], "up") != 0 && std::strcmp(argv[1], "down") != 0)) {
        std::fputs("Usage: nodepanel-manager up|down\n", stderr);
        return 2;
    }
    // Where this program lies, as the kernel knows it: <bundle>/Contents/libexec/nodepanel-manager.
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0 || length >= ssize_t(sizeof self)) {
        std::perror("nodepanel-manager: /proc/self/exe");
        return 1;
    }
    const QString bundle =
        QDir::cleanPath(QFile::decodeName(QByteArray(self, length)) + QStringLiteral("/../../.."));

    // Checked again here, as root, right before the run: the panel's own check came before the password
    // prompt, which may have stood open for a long time.
    if (const std::optional<QString> refusal = untrustedNodeFiles(bundle, 0)) {
        std::fprintf(stderr, "%s\n", refusal->toLocal8Bit().constData());
        return 1;
    }
    const QByteArray shellText =
        privilegedShellText(bundle, QStringLiteral("./manager.sh ") + QLatin1String(argv[1])).toLocal8Bit();
    // From "/", as the panel runs it: a cd that fails leaves "./bash" pointing at nothing.
    if (::chdir("/") != 0) {
        std::perror("nodepanel-manager: /");
        return 1;
    }
    ::execl("/bin/sh", "sh", "-c", shellText.constData(), static_cast<char*>(nullptr));
    std::perror("nodepanel-manager: /bin/sh");
    return 127;
}
