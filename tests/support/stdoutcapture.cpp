#include "stdoutcapture.h"

#include <cstdio>
#include <unistd.h>

StdoutCapture::StdoutCapture() {
    if (!file_.open())
        return;
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(file_.handle(), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
    stop();
}

QList<QByteArray> StdoutCapture::stop() {
    if (saved_ >= 0) {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    QFile written(file_.fileName());
    if (!written.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = written.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList decodedLines(const QList<QByteArray>& lines) {
    QStringList decoded;
    for (const QByteArray& line : lines)
        if (!line.isEmpty())
            decoded.append(QString::fromUtf8(QByteArray::fromPercentEncoding(line)));
    return decoded;
}
