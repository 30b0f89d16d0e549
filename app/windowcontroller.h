#pragma once

#include <QMainWindow>

#include <memory>

namespace Ui {
class MainWindow;
}
class ViewController;

// The main window, built from the layout, with the service-control screen as its content.
class WindowController : public QMainWindow {
    Q_OBJECT

public:
    explicit WindowController(QWidget* parent = nullptr);
    ~WindowController() override;

    ViewController* viewController() const;

private:
    std::unique_ptr<Ui::MainWindow> ui_;
};
