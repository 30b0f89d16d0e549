// The real panel, built from the same core library as nodepanel and run the same way, but pointed at the
// benchmark's local servers. Everything it talks to is set here from this program's options; the panel
// itself still reads no option of its own.
//
// Usage: bench_panel --status-url URL --account-url URL [--startup-pause-ms 200] [--prompt-ms 20000]
//                    [--start-after-ms N] [--lag-probe]
//
// Start runs a stand-in for the administrator prompt and manager.sh: it waits --prompt-ms, tells the
// stand-in node to answer "running" from now on (GET /bench/up on the status address, as manager.sh up
// returns once the node answers) and reports success. The settings (agree) come from XDG_CONFIG_HOME,
// which the driver prepares.

#include "lagprobe.h"

#include "app/application.h"
#include "app/windowcontroller.h"
#include "control/viewcontroller.h"
#include "platform/output.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace {

using std::chrono::milliseconds;

// A blocking exchange: it runs on the start job's worker, which has no event loop.
void tellNode(const QUrl& node, const QByteArray& path) {
    QTcpSocket socket;
    socket.connectToHost(node.host(), quint16(node.port(80)));
    if (!socket.waitForConnected(2000))
        return;
    socket.write("GET " + path + " HTTP/1.1\r\nHost: " + node.authority().toUtf8() +
                 "\r\nConnection: close\r\n\r\n");
    socket.waitForBytesWritten(2000);
    // Until the node has answered and closed.
    while (socket.waitForReadyRead(2000))
        socket.readAll();
}

// Presses Start as a user would: once the stopped view shows it.
void pressStartWhenShown(ViewController* screen) {
    auto* startButton = screen->findChild<QPushButton*>(QStringLiteral("startButton"));
    if (startButton && startButton->isVisible()) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        writeStdoutLine("bench-start at_ns=" +
                        QByteArray::number(qint64(std::chrono::nanoseconds(now).count())));
        startButton->click();
        return;
    }
    QTimer::singleShot(100, screen, [screen] { pressStartWhenShown(screen); });
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);

    QCommandLineParser options;
    const QCommandLineOption statusUrl(QStringLiteral("status-url"), QStringLiteral("The node's status URL."),
                                       QStringLiteral("url"));
    const QCommandLineOption accountUrl(QStringLiteral("account-url"),
                                        QStringLiteral("The account server's base URL."),
                                        QStringLiteral("url"));
    const QCommandLineOption startupPause(QStringLiteral("startup-pause-ms"),
                                          QStringLiteral("The pause before the first check."),
                                          QStringLiteral("ms"), QStringLiteral("200"));
    const QCommandLineOption prompt(QStringLiteral("prompt-ms"),
                                    QStringLiteral("How long Start waits at the stand-in prompt."),
                                    QStringLiteral("ms"), QStringLiteral("20000"));
    const QCommandLineOption startAfter(QStringLiteral("start-after-ms"),
                                        QStringLiteral("Press Start this long after launch."),
                                        QStringLiteral("ms"));
    const QCommandLineOption lagProbe(QStringLiteral("lag-probe"), QStringLiteral("Run the lag probe."));
    options.addOptions({statusUrl, accountUrl, startupPause, prompt, startAfter, lagProbe});
    options.process(app);
    if (!options.isSet(statusUrl) || !options.isSet(accountUrl))
        qFatal("bench_panel needs --status-url and --account-url");

    HostConfig config = productionConfig();
    config.statusUrl = QUrl(options.value(statusUrl));
    config.accountBaseUrl = QUrl(options.value(accountUrl));
    // Never opened here; on loopback all the same, so nothing can leave the machine.
    config.websiteBaseUrl = config.accountBaseUrl;
    config.startupPause = milliseconds(options.value(startupPause).toInt());
    config.elevate = false;
    const milliseconds promptTime(options.value(prompt).toInt());
    const QUrl node = config.statusUrl;
    config.scriptRunner = [promptTime, node](const QString& command) -> std::optional<ScriptFailure> {
        std::this_thread::sleep_for(promptTime);
        tellNode(node, command.endsWith(QLatin1String(" up")) ? "/bench/up" : "/bench/down");
        return std::nullopt;
    };

    std::unique_ptr<LagProbe> probe;
    if (options.isSet(lagProbe)) {
        probe = std::make_unique<LagProbe>();
        probe->markLoad();
    }
    const int pressAfter = options.isSet(startAfter) ? options.value(startAfter).toInt() : -1;

    const int status = runPanel(config, [&](WindowController& window) {
        if (probe)
            probe->start();
        if (pressAfter >= 0) {
            ViewController* screen = window.viewController();
            QTimer::singleShot(pressAfter, screen, [screen] { pressStartWhenShown(screen); });
        }
    });
    exitProcessNow(status);
}
