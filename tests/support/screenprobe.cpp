#include "screenprobe.h"

#include "control/viewcontroller.h"
#include "platform/hostconfig.h"

#include <QMessageBox>
#include <QPushButton>

QString screenOf(const ViewController* vc) {
    const bool on = !vc->onView->isHidden();
    const bool off = !vc->offView->isHidden();
    const bool busy = !vc->middleView->isHidden();
    if (on + off + busy != 1)
        return QStringLiteral("broken");
    return on ? QStringLiteral("running") : off ? QStringLiteral("stopped") : QStringLiteral("busy");
}

QByteArray stateReply(int state) {
    return "{\"state\":" + QByteArray::number(state) + '}';
}

QPushButton* buttonTitled(QMessageBox* box, const QString& title) {
    for (QAbstractButton* candidate : box->buttons())
        if (candidate->text() == title)
            return static_cast<QPushButton*>(candidate);
    return nullptr;
}

QString storedLastAction() {
    return openSettings()->value(QStringLiteral("last_action")).toString();
}
