#include "platform/output.h"

#include <QMutex>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

void writeWholeLine(int fd, const QByteArray& line) {
    // One mutex for both streams keeps a line whole even when standard output and standard error are
    // the same pipe.
    static QMutex mutex;
    const QByteArray whole = line + '\n';
    QMutexLocker lock(&mutex);
    const char* data = whole.constData();
    qsizetype left = whole.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to write to; a log line is not worth failing for
        data += written;
        left -= written;
    }
}

void writeStdoutLine(const QByteArray& line) {
    writeWholeLine(STDOUT_FILENO, line);
}

void exitProcessNow(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
