#include "control/servicestate.h"
#include "host/utils.h"
#include "platform/output.h"

#include <QCoreApplication>
#include <QMetaObject>

// Asks the node once and prints what the status client read.
int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    Utils::queryNodeStatus([&app] {
        const auto state = rawValue(currentServiceState());
        writeStdoutLine("node state " + QByteArray::number(state));
        QMetaObject::invokeMethod(
            &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    exitProcessNow(app.exec());
}
