#pragma once

// The event-loop lag probe that bench_panel and bench_barewindow share, so both are measured by the same
// code: a 5 ms precise timer on the main thread notes by how much each turn came later than asked. A late
// turn means the main thread was busy (or blocked) that long: the window could neither repaint nor answer
// input meanwhile. It tells the driver on standard output, one line each, in milliseconds:
//
//   bench load_ms=<building the window>     once, at start()
//   bench max_ms=<largest lateness so far>  each time the largest grows
//   bench late=<at>:<late>                  each turn more than 10 ms late, the first 64
//
// load_ms runs from markLoad(), just before the window is built, to start(), the first turn of the event
// loop: the window's construction, which no lateness includes. at counts from markLoad() too. A line is
// one short write to a pipe, and only when something changed, so the probe's own cost stays out of sight.

#include <QTimer>

#include <chrono>

#include <unistd.h>

using namespace std::chrono_literals;

namespace bench {

// Milliseconds on the monotonic clock, which every process shares.
inline double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One write, so that the line never mixes with the program's own output.
inline void note(const char* key, const QString& value) {
    const QByteArray line = QString("bench %1=%2\n").arg(key, value).toUtf8();
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), size_t(line.size()));
}

} // namespace bench

class LagProbe : public QObject {
public:
    void markLoad() { loadStart_ = bench::nowMs(); }

    void start() {
        last_ = bench::nowMs();
        bench::note("load_ms", QString::number(last_ - loadStart_));
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start(5ms);
    }

private:
    void tick() {
        const double now = bench::nowMs(), late = now - last_ - 5;
        last_ = now;
        if (late > max_)
            bench::note("max_ms", QString::number(max_ = late));
        if (late > 10 && lateTurns_++ < 64)
            bench::note("late", QString("%1:%2").arg(now - loadStart_, 0, 'f', 0).arg(late, 0, 'f', 1));
    }

    QTimer timer_;
    double loadStart_ = 0, last_ = 0, max_ = 0;
    int lateTurns_ = 0;
};
