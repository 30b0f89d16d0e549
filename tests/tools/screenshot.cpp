// Renders the main window in one of its three views to a PNG, against a stand-in node, for the README.
// Usage: screenshot running|stopped|busy output.png
#include "app/windowcontroller.h"
#include "control/servicestate.h"
#include "control/viewcontroller.h"
#include "platform/hostconfig.h"

#include "testhttpserver.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QWindow>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        qFatal("usage: screenshot running|stopped|busy output.png");
    const QString view = args[1];

    TestHttpServer node;
    node.start();
    node.setReply(200, view == QLatin1String("running") ? R"({"state":1})" : R"({"state":0})");
    HostConfig config = HostConfig::production();
    config.statusUrl = node.url(QStringLiteral("/get_status"));
    installHostConfig(config);

    WindowController window;
    window.show();
    ViewController* vc = window.viewController();
    QTimer::singleShot(1500, &app, [&] {
        if (view == QLatin1String("busy"))
            vc->showProgress(QStringLiteral("Starting Service.."));
        QTimer::singleShot(500, &app, [&] {
            QPixmap shot = window.screen()->grabWindow(window.winId());
            if (shot.isNull() || shot.size().isEmpty())
                shot = window.grab();
            if (!shot.save(args[2]))
                qFatal("cannot write %s", qPrintable(args[2]));
            QCoreApplication::exit(0); // quit() would ask the window to close, which it refuses
        });
    });
    return app.exec();
}
