// The yardstick the panel is measured against: the least a Qt 6 Widgets program with a ticking clock can
// be. One window, one label counting seconds, and one HTTP GET to the status address at start (the panel's
// first check, so both programs' launch-to-first-request is the same kind of figure).
//
// Usage: bench_barewindow [--status-url URL] [--lag-probe]

#include "lagprobe.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);

    QCommandLineParser options;
    const QCommandLineOption statusUrl(QStringLiteral("status-url"), QStringLiteral("Where to send the GET."),
                                       QStringLiteral("url"));
    const QCommandLineOption lagProbe(QStringLiteral("lag-probe"), QStringLiteral("Run the lag probe."));
    options.addOptions({statusUrl, lagProbe});
    options.process(app);

    std::unique_ptr<LagProbe> probe;
    if (options.isSet(lagProbe)) {
        probe = std::make_unique<LagProbe>();
        probe->markLoad();
    }

    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    auto* label = new QLabel(QStringLiteral("00:00:00"), &window);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(label);

    // The same kind of clock as the panel's uptime clock.
    QTimer clock;
    clock.setTimerType(Qt::PreciseTimer);
    qint64 seconds = 0;
    QObject::connect(&clock, &QTimer::timeout, label, [label, &seconds] {
        ++seconds;
        const QChar zero(u'0');
        label->setText(QStringLiteral("%1:%2:%3")
                           .arg(seconds / 3600, 2, 10, zero)
                           .arg(seconds % 3600 / 60, 2, 10, zero)
                           .arg(seconds % 60, 2, 10, zero));
    });
    clock.start(1000);
    window.show();

    // Plain and on the main thread: no extra thread, no proxy look-up for a loopback address.
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    if (options.isSet(statusUrl)) {
        QNetworkReply* reply = network.get(QNetworkRequest(QUrl(options.value(statusUrl))));
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    }

    if (probe)
        QMetaObject::invokeMethod(
            probe.get(), [&probe] { probe->start(); }, Qt::QueuedConnection);
    return app.exec();
}
