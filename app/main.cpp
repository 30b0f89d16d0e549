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
    // The panel itself takes no argument but Qt's own (-session, -platform, ...), which the application
    // object takes. Anything else is answered before the GUI starts, so --help and --version work without
    // a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (!commandLineStartsPanel(arguments)) {
        QCoreApplication app(argc, argv);
        exitProcessNow(answerCommandLine(QCoreApplication::arguments()));
    }
    // The session bus, probed before anything of Qt's uses it (half a second at most), then claimed (as
    // long again): the time the application object takes to start counts for neither.
    const bool silent = SessionInstance::leaveSilentBus(QDeadlineTimer(500));
    const std::unique_ptr<QApplication> app = openApplication(argc, argv);
    installTranslations();
    SessionInstance instance;
    if (const std::optional<int> status = silent ? std::nullopt : instance.claim(QDeadlineTimer(500)))
        exitProcessNow(*status);
    runPanel(productionConfig(), [&instance](WindowController& window) { instance.setWindow(&window); });
}
