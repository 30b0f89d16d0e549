#include "app/application.h"
#include "app/sessioninstance.h"
#include "app/windowcontroller.h"
#include "platform/output.h"

#include <QApplication>

#include <unistd.h>

int main(int argc, char* argv[]) {
    // Qt's own messages go through the same writer as the panel's lines, so that a reader who stops reading
    // standard error never blocks the window.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        writeWholeLine(STDERR_FILENO, qFormatLogMessage(type, context, message).toUtf8());
    });
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
    runPanel(productionConfig(), [&instance](WindowController& window) { instance.setWindow(&window); });
}
