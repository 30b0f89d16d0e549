// nodepanel-manager up|down: the one program the panel's polkit action lets pkexec run as root. It runs the
// node's manager.sh with the verb in the bundle it lies in, by the same shell lines the panel would hand to
// a root shell itself. Nothing of the caller's chooses the bundle: not the arguments, not the environment,
// not the working folder.
#include "host/noderun.h"

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    if (argc != 2 || (std::strcmp(argv[1], "up") != 0 && std::strcmp(argv[1], "down") != 0)) {
        std::fputs("Usage: nodepanel-manager up|down\n", stderr);
        return 2;
    }
    // Where this program lies: <bundle>/Contents/libexec/nodepanel-manager.
    const QString bundle = bundleOfThisProgram();
    if (bundle.isEmpty()) {
        std::fputs("nodepanel-manager: cannot tell where it lies (/proc/self/exe)\n", stderr);
        return 1;
    }
    // Checked again here, as root, right before the run: the panel's own check came before the password
    // prompt, which may have stood open for a long time.
    return execNodeCommand(bundle, QStringLiteral("./manager.sh ") + QLatin1String(argv[1]));
}
