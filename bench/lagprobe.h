#pragma once

// The event-loop lag probe that bench_panel and bench_barewindow share, so both are measured by the same
// code: a 5 ms precise timer on the main thread notes by how much each turn came later than asked. A late
// turn means the main thread was busy (or blocked) that long: the window could neither repaint nor answer
// input meanwhile. It tells the driver on standard output, one line each, in milliseconds:
//
//   bench max_ms=<largest lateness so far>  each time the largest grows
//
// It starts with the event loop: building the window, before, is in no lateness. A line is one short write
// to a pipe, and only when something changed, so the probe's own cost stays out of sight.
//
// Under callgrind, BENCH_COUNT=<from>,<for> (seconds after the first paint) makes it count instructions
// over that span alone: it zeroes the count at its start, dumps it at its end and says "bench counted=1".

#include <QCoreApplication>
#include <QTimer>

#include <valgrind/callgrind.h>

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

// The command line: --name, or --name and the word after it.
struct Options {
    QStringList words = QCoreApplication::arguments();
    bool isSet(const QString& name) const { return words.contains("--" + name); }
    QString value(const QString& name, const QString& absent = {}) const {
        return isSet(name) ? words.value(words.indexOf("--" + name) + 1) : absent;
    }
};

} // namespace bench

class LagProbe : public QObject {
public:
    void markLoad() {
        if (qEnvironmentVariable("BENCH_COUNT").split(',').size() == 2)
            qApp->installEventFilter(this);
    }

    // The count starts from the first paint, however long valgrind makes the way there.
    bool eventFilter(QObject*, QEvent* event) override {
        const QStringList span = qEnvironmentVariable("BENCH_COUNT").split(',');
        if (event->type() != QEvent::Paint)
            return false;
        qApp->removeEventFilter(this);
        QTimer::singleShot(span[0].toInt() * 1000, [] { CALLGRIND_ZERO_STATS; });
        QTimer::singleShot((span[0].toInt() + span[1].toInt()) * 1000, [] {
            CALLGRIND_DUMP_STATS;
            bench::note("counted", "1");
        });
        return false;
    }

    void start() {
        last_ = bench::nowMs();
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.callOnTimeout(this, [this] {
            const double now = bench::nowMs(), late = now - last_ - 5;
            last_ = now;
            if (late > max_)
                bench::note("max_ms", QString::number(max_ = late));
        });
        timer_.start(5ms);
    }

private:
    QTimer timer_;
    double last_ = 0, max_ = 0;
};
