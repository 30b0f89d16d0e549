#include "app/application.h"

#include "app/appdelegate.h"
#include "app/windowcontroller.h"
#include "platform/terminationsignals.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QMetaObject>

#include <unistd.h>

HostConfig productionConfig() {
    const auto https = [](const char* host) {
        return QUrl(QStringLiteral("https://") + QString::fromUtf8(host));
    };
    HostConfig config;
    config.statusUrl = QUrl(QStringLiteral("http://localhost:8080/get_status"));
    config.accountBaseUrl = https(NODEPANEL_ACCOUNT_HOST);
    config.websiteBaseUrl = https(NODEPANEL_WEBSITE_HOST);
    config.bundlePath = bundleOfExecutableFolder(QCoreApplication::applicationDirPath());
    config.elevate = ::geteuid() != 0;
    return config;
}

QString bundleOfExecutableFolder(const QString& folder) {
    return QDir::cleanPath(folder + QStringLiteral("/../.."));
}

int runPanel(const HostConfig& config, const std::function<void(WindowController& window)>& launched) {
    // Only the quit gate ends the panel; closing the window asks instead.
    QApplication::setQuitOnLastWindowClosed(false);
    // The icon lives in the static core library, which the linker keeps only when asked to.
    Q_INIT_RESOURCE(nodepanel);
    // Desktops match the window to its menu entry by this id, and show the entry's icon for it. Titles
    // and notifications name the application, not the program.
    QGuiApplication::setDesktopFileName(QStringLiteral(NODEPANEL_APP_ID));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Node Panel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/nodepanel.svg")));

    AppDelegate delegate;
    onTerminationSignals(&delegate, [] { QCoreApplication::exit(0); });
    WindowController window(std::make_shared<const HostConfig>(config));
    window.show();
    QMetaObject::invokeMethod(
        &delegate,
        [&] {
            delegate.applicationDidFinishLaunching();
            if (launched)
                launched(window);
        },
        Qt::QueuedConnection);
    return QApplication::exec();
}
