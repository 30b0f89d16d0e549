#include "app/application.h"

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "platform/terminationsignals.h"

#include <QApplication>
#include <QIcon>
#include <QMetaObject>

int runPanel(const std::function<void(WindowController& window)>& launched) {
    // Only the quit gate ends the panel; closing the window asks instead.
    QApplication::setQuitOnLastWindowClosed(false);
    // The icon lives in the static core library, which the linker keeps only when asked to.
    Q_INIT_RESOURCE(nodepanel);
    // Desktops match the window to its menu entry by this id, and show the entry's icon for it.
    QGuiApplication::setDesktopFileName(QStringLiteral(NODEPANEL_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/nodepanel.svg")));

    AppDelegate delegate;
    onTerminationSignals(&delegate, [] { QCoreApplication::exit(0); });
    WindowController window;
    window.show();
    QMetaObject::invokeMethod(
        &delegate,
        [&] {
            delegate.applicationDidFinishLaunching();
            if (launched)
                launched(window);
        },
        Qt::QueuedConnection);

    const int status = QApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
