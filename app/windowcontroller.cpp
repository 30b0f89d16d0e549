#include "app/windowcontroller.h"

#include "control/viewcontroller.h"

#include "ui_MainWindow.h"

WindowController::WindowController(QWidget* parent)
    : QMainWindow(parent)
    , ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    ui_->viewController->viewDidLoad();
}

WindowController::~WindowController() = default;

ViewController* WindowController::viewController() const {
    return ui_->viewController;
}
