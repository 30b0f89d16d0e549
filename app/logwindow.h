#pragma once

#include <QWidget>

#include <deque>

class QLabel;
class QPlainTextEdit;

// The panel's own log: the lines it wrote to the system log in this run, timestamped, newest last, and
// following new ones as they come. A window of its own beside the main window, never modal. It costs
// nothing until it is opened and nothing once closed: closing destroys it, and the lines wait in the
// LogBook meanwhile.
class LogWindow : public QWidget {
    Q_OBJECT

public:
    explicit LogWindow(QWidget* parent = nullptr);
    ~LogWindow() override;

private:
    // Takes in the lines logged since the last time, and lets go of those the LogBook dropped.
    void takeNewLines();

    QPlainTextEdit* lines_;
    QLabel* dropped_;
    // The number of the next line to show, and how many text blocks each shown line takes, oldest first
    // (a logged message may hold line breaks).
    qint64 next_ = 0;
    std::deque<int> blocks_;
};
