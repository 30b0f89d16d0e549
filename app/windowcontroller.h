#pragma once

#include "host/hostconfig.h"

#include <QPointer>
#include <QWidget>

#include <memory>

namespace Ui {
class MainWindow;
}
class AboutBox;
class LogWindow;
class ViewController;

// The main window, built from the layout, with the service-control screen as its content. It never
// closes itself: a close request, or a quit the delegate refused while the node runs, becomes a question
// on the window.
class WindowController : public QWidget {
    Q_OBJECT

public:
    explicit WindowController(std::shared_ptr<const HostConfig> config, QWidget* parent = nullptr);
    ~WindowController() override;

    ViewController* viewController() const;

    // Registers for "exit": the delegate's word that it refused a quit while the node runs.
    void windowDidLoad();
    void processNotification(const QString& name);
    // Every close request: the stop question (queued) while the node runs, else the exit question.
    // Always false: the window stays.
    bool windowShouldClose();
    // Asks whether to stop the node, if it still runs.
    void confirmStopService();
    // The Help menu: the panel's own log and the About box, each opened once and brought forward after.
    void showLog();
    void showAbout();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::MainWindow> ui_;
    std::shared_ptr<const HostConfig> config_;
    QPointer<LogWindow> log_;
    QPointer<AboutBox> about_;
};
