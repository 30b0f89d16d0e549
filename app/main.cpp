#include "app/application.h"
#include "app/sessioninstance.h"
#include "app/windowcontroller.h"
#include "platform/output.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // The panel itself takes no argument. Any argument is answered before the GUI starts, so --help and
    // --version work without a display.
    if (argc > 1) {
        QCoreApplication app(argc, argv);
        exitProcessNow(answerCommandLine(QCoreApplication::arguments()));
    }
    QApplication app(argc, argv);
    installTranslations();
    SessionInstance instance;
    if (const std::optional<int> status = instance.claim())
        exitProcessNow(*status);
    // Start and stop jobs are not waited for: one may sit at the administrator prompt.
    exitProcessNow(
        runPanel(productionConfig(), [&instance](WindowController& window) { instance.setWindow(&window); }));
}
