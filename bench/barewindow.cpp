// The yardstick the panel is measured against: the least a Qt 6 Widgets program with a ticking clock can
// be. One window, one label counting seconds on a 1 s precise timer (the panel's clock timer), and one
// HTTP GET to the status address at start through a plain QNetworkAccessManager on the main thread, with
// no proxy, as the panel's first check. With --floor it is the floor: the same GET again every 5 s, the
// least a Qt window that watches a node as the panel does can spend.
//
// Usage: bench_barewindow --status-url URL [--floor] [--lag-probe]

#include "lagprobe.h"

#include <QApplication>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTime>
#include <QVBoxLayout>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);

    QWidget window;
    auto* label = new QLabel("00:00:00", &window);
    (new QVBoxLayout(&window))->addWidget(label);
    QTimer clock;
    clock.setTimerType(Qt::PreciseTimer);
    QObject::connect(&clock, &QTimer::timeout, label, [label, seconds = 0]() mutable {
        label->setText(QTime(0, 0).addSecs(++seconds).toString("hh:mm:ss"));
    });
    clock.start(1000);
    window.show();

    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    const auto get = [&] {
        QNetworkReply* reply = network.get(QNetworkRequest(bench::option("status-url")));
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    };
    get();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &network, get);
    if (bench::isSet("floor"))
        check.start(5000);

    QTimer::singleShot(0, &bench::startProbes);
    return app.exec();
}
