#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryFile>

// Sends standard output to a file while it is active. The panel writes its lines straight to descriptor
// 1, so the descriptor itself is swapped.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    QString fileName() const { return file_.fileName(); }

    // Puts standard output back and returns the lines written in the meantime.
    QList<QByteArray> stop();

private:
    QTemporaryFile file_;
    int saved_ = -1;
};

// The non-empty lines, percent-decoded the way the account server decodes an uploaded line.
QStringList decodedLines(const QList<QByteArray>& lines);
