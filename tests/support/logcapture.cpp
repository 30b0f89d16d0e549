#include "logcapture.h"

LogCapture::LogCapture() {
    previous_ = setSystemLogObserver([this](const QString& line) {
        QMutexLocker lock(&mutex_);
        lines_.append(line);
    });
}

LogCapture::~LogCapture() {
    setSystemLogObserver(std::move(previous_));
}

QStringList LogCapture::lines() const {
    QMutexLocker lock(&mutex_);
    return lines_;
}

void LogCapture::clear() {
    QMutexLocker lock(&mutex_);
    lines_.clear();
}
