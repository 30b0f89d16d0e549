#include "app/windowcontroller.h"
#include "platform/output.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    WindowController window;
    window.show();
    exitProcessNow(app.exec());
}
