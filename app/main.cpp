#include "app/application.h"
#include "platform/output.h"

#include <QApplication>

#include <unistd.h>

int main(int argc, char* argv[]) {
    // Qt's own messages go through the same writer as the panel's lines, so that a reader who stops reading
    // standard error never blocks the window.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        writeWholeLine(STDERR_FILENO, qFormatLogMessage(type, context, message).toUtf8());
    });
    QApplication app(argc, argv);
    // Start and stop jobs are not waited for: one may sit at the administrator prompt.
    exitProcessNow(runPanel(productionConfig()));
}
