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
// Under callgrind, BENCH_COUNT=<from>,<for> (seconds after the event loop starts, however long valgrind
// makes the way there) makes it count instructions over that span alone: it zeroes the count at its start,
// dumps it at its end and says "bench counted=1".

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <valgrind/callgrind.h>

#include <unistd.h>

namespace bench {

// Milliseconds on the monotonic clock, which every process shares.
inline double nowMs() {
    return double(QDeadlineTimer::current().deadlineNSecs()) / 1e6;
}

// One write, so that the line never mixes with the program's own output.
inline void note(const char* key, const QString& value) {
    const QByteArray line = QString("bench %1=%2\n").arg(key, value).toUtf8();
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), size_t(line.size()));
}

// The command line: whether --name is on it, and the word after --name.
inline bool isSet(const QString& name) {
    return QCoreApplication::arguments().contains("--" + name);
}
inline QString option(const QString& name, const QString& absent = {}) {
    const QStringList words = QCoreApplication::arguments();
    return isSet(name) ? words.value(words.indexOf("--" + name) + 1) : absent;
}

// Called as the event loop starts: the lag probe if the command line asks for it, and the instruction
// count if BENCH_COUNT does.
inline void startProbes() {
    if (isSet("lag-probe")) {
        auto* timer = new QTimer(qApp);
        timer->setTimerType(Qt::PreciseTimer);
        timer->callOnTimeout([last = nowMs(), max = 0.0]() mutable {
            const double now = nowMs(), late = now - std::exchange(last, now) - 5;
            if (late > max)
                note("max_ms", QString::number(max = late));
        });
        timer->start(5);
    }
    if (const QStringList span = qEnvironmentVariable("BENCH_COUNT").split(','); span.size() == 2) {
        QTimer::singleShot(span[0].toInt() * 1000, [] { CALLGRIND_ZERO_STATS; });
        QTimer::singleShot((span[0].toInt() + span[1].toInt()) * 1000, [] {
            CALLGRIND_DUMP_STATS;
            note("counted", "1");
        });
    }
}

} // namespace bench
