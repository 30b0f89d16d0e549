#include "app/application.h"
#include "platform/output.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Start and stop jobs are not waited for: one may sit at the administrator prompt.
    exitProcessNow(runPanel(productionConfig()));
}
