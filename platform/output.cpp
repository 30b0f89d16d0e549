#include "platform/output.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Enough for thousands of lines; beyond it a reader is not keeping up and new lines are dropped.
constexpr qsizetype maxQueuedBytes = 256 * 1024;
// The file descriptor that stands for the system journal in the queue.
constexpr int journal = -1;

// Whether the system log takes lines, found out on the first line and again only while it did not, at
// most once a minute: without one, syslog() would open a socket and fail to connect for every line. Once
// it is there, syslog() keeps its own connection. Only the writer thread asks.
bool journalListens() {
    using Clock = std::chrono::steady_clock;
    static bool listens = false;
    static Clock::time_point nextLook;
    if (listens || Clock::now() < nextLook)
        return listens;
    nextLook = Clock::now() + std::chrono::minutes(1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, _PATH_LOG);
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    listens =
        probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0)
        ::close(probe);
    return listens;
}

void writeAll(int fd, const QByteArray& text) {
    if (fd == journal) {
        if (journalListens())
            syslog(LOG_NOTICE, "%s", text.constData());
        return;
    }
    const char* data = text.constData();
    qsizetype left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to write to; a log line is not worth failing for
        data += written;
        left -= written;
    }
}

class Writer {
public:
    Writer() {
        // openlog keeps the identity pointer, so it must stay valid for the whole process.
        static const char* const identity = "nodepanel";
        openlog(identity, LOG_PID, LOG_USER);
        // Detached and never joined: at exit it may sit in a write that never returns.
        std::thread([this] { run(); }).detach();
    }

    void push(int fd, QByteArray text) {
        std::lock_guard lock(mutex_);
        if (queuedBytes_ + text.size() > maxQueuedBytes)
            return;
        queuedBytes_ += text.size();
        queue_.emplace_back(fd, std::move(text));
        wake_.notify_one();
    }

    bool flush(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return drained_.wait_for(lock, timeout, [this] { return queue_.empty() && !writing_; });
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !queue_.empty(); });
            auto [fd, text] = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= text.size();
            writing_ = true;
            lock.unlock();
            writeAll(fd, text);
            lock.lock();
            writing_ = false;
            if (queue_.empty())
                drained_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, drained_;
    std::deque<std::pair<int, QByteArray>> queue_;
    qsizetype queuedBytes_ = 0;
    bool writing_ = false;
};

// Never destroyed: its thread may outlive everything else.
Writer& writer() {
    static Writer* const instance = new Writer;
    return *instance;
}

} // namespace

void writeWholeLine(int fd, const QByteArray& line) {
    writer().push(fd, line + '\n');
}

void writeStdoutLine(const QByteArray& line) {
    writeWholeLine(STDOUT_FILENO, line);
}

void writeJournalLine(const QByteArray& line) {
    writer().push(journal, line);
}

bool flushOutput(std::chrono::milliseconds timeout) {
    return writer().flush(timeout);
}

void exitProcessNow(int status) {
    // Long enough for the last lines to reach a reader that reads; a stuck one is not waited for.
    flushOutput(std::chrono::milliseconds(200));
    std::_Exit(status);
}
