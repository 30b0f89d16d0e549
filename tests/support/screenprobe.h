#pragma once

#include <QByteArray>
#include <QString>

class QMessageBox;
class QPushButton;
class ViewController;

// Which of the screen's three views shows: "running", "stopped" or "busy"; "broken" unless exactly one.
QString screenOf(const ViewController* vc);

// A status reply of the node: {"state":N}.
QByteArray stateReply(int state);

// The button of a question with this title, or null.
QPushButton* buttonTitled(QMessageBox* box, const QString& title);

// The last action stored in the settings.
QString storedLastAction();

// Ends the calling test function when a helper it called has failed.
#define RETURN_IF_FAILED(call)                                                                               \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)
