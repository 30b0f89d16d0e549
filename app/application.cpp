#include "app/application.h"

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "platform/terminationsignals.h"

#include <QApplication>
#include <QMetaObject>

int runPanel(const std::function<void(WindowController& window)>& launched) {
    // Only the quit gate ends the panel; closing the window asks instead.
    QApplication::setQuitOnLastWindowClosed(false);

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
