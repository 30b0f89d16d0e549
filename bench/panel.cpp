// The real panel, built from the same core library as nodepanel and opened and run the same way by
// openApplication() and runPanel(), but pointed at the benchmark's stand-in servers; the panel itself still
// reads no option of its own.
//
// Usage: bench_panel --status-url URL [--account-url URL] [--prompt-ms N] [--press start|stop-twice]
//                    [--lag-probe]
//
// Node commands run a stand-in for the administrator prompt and manager.sh: it waits --prompt-ms, says
// "bench script=up" or "bench script=down" on standard output, upon which the driver's stand-in node
// answers "running" or "stopped" (as manager.sh returns once the node answers or is gone), and succeeds.
// --press start presses Start once the stopped view shows it, a second or more after launch; --press
// stop-twice presses Stop on the running view, then closes the window and answers "YES" to its question: a
// second stop while the first runs. Standard output gets, besides the lag probe's lines, "bench start_ms="
// (Start pressed), "bench script_ms=" (the stand-in's time) and "bench running_ms=" (the running view shown),
// on the monotonic clock.

#include "lagprobe.h"

#include "app/application.h"
#include "app/windowcontroller.h"
#include "platform/output.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <thread>

namespace {

// Runs act once the widget shows, looking after ms and then every 100 ms, as a user would.
void whenShown(QWidget* widget, int ms, const std::function<void()>& act) {
    QTimer::singleShot(ms, widget, [=] { widget->isVisible() ? act() : whenShown(widget, 100, act); });
}

// Notes every time the running view appears.
struct RunningViewWatch : QObject {
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show)
            bench::note("running_ms", QString::number(bench::nowMs(), 'f', 3));
        return false;
    }
};

} // namespace

int main(int argc, char* argv[]) {
    const std::unique_ptr<QApplication> app = openApplication(argc, argv);

    HostConfig config = productionConfig();
    config.statusUrl = QUrl(bench::option("status-url"));
    // The web site is never opened here; on loopback all the same, so nothing can leave the machine.
    config.accountBaseUrl = config.websiteBaseUrl = QUrl(bench::option("account-url"));
    config.elevate = false;
    config.scriptRunner = [wait = bench::option("prompt-ms").toInt()](const QString& command) {
        const double started = bench::nowMs();
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        bench::note("script_ms", QString::number(bench::nowMs() - started));
        bench::note("script", command.split(' ').last());
        return std::optional<ScriptFailure>();
    };

    RunningViewWatch watch;
    runPanel(config, [&](WindowController& window) {
        bench::startProbes();
        window.findChild<QWidget*>("onView")->installEventFilter(&watch);
        auto* start = window.findChild<QPushButton*>("startButton");
        auto* stop = window.findChild<QPushButton*>("stopButton");
        if (bench::option("press") == "start")
            whenShown(start, 1000, [start] {
                bench::note("start_ms", QString::number(bench::nowMs(), 'f', 3));
                start->click();
            });
        if (bench::option("press") == "stop-twice")
            whenShown(stop, 1000, [&window, stop] {
                stop->click();
                // The node still counts as running, so closing the window asks whether to stop it.
                window.close();
                QTimer::singleShot(500, &window, [&window] {
                    for (QAbstractButton* button : window.findChild<QMessageBox*>()->buttons())
                        button->text() == "YES" ? button->click() : void();
                });
            });
    });
}
