#pragma once

// The event-loop lag probe that bench_panel and bench_barewindow share, so both are measured by the same
// code: a short precise timer on the main thread notes by how much each turn came later than asked. A
// turn that comes late means the main thread was busy (or blocked) for that long, and the window could not
// repaint or answer input meanwhile.
//
// The driver asks for the figures with a line "report" on standard input and reads one line back:
//
//   bench-lag max_us=<largest lateness> max_at_ns=<when, monotonic clock> load_us=<before the loop>
//             ticks=<turns seen> over20=<turns more than 20 ms late> late=<at_ns:us,...>
//
// load_us is the time from markLoad() (just before the window is built) to the first turn of the event
// loop: the window's construction, which the largest lateness does not include.

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include <unistd.h>

class LagProbe : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    explicit LagProbe(std::chrono::milliseconds interval = std::chrono::milliseconds(5),
                      QObject* parent = nullptr)
        : QObject(parent)
        , interval_(interval) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(int(interval.count()));
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
    }

    // Just before the window is built.
    void markLoad() { loadStart_ = Clock::now(); }

    // On the first turn of the event loop: from here on every turn counts.
    void start() {
        const auto now = Clock::now();
        if (loadStart_)
            load_ = std::chrono::duration_cast<std::chrono::microseconds>(now - *loadStart_);
        last_ = now;
        timer_.start();
        // Standard input is the driver's pipe; a line on it asks for the report.
        stdin_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        QObject::connect(stdin_, &QSocketNotifier::activated, this, [this] { readCommand(); });
    }

private:
    void tick() {
        const auto now = Clock::now();
        const auto late = std::chrono::duration_cast<std::chrono::microseconds>(now - last_ - interval_);
        last_ = now;
        ++ticks_;
        if (late > max_) {
            max_ = late;
            maxAt_ = now;
        }
        if (late > std::chrono::milliseconds(20))
            ++over20_;
        // Enough to see where the time went, bounded so that a long run cannot grow it.
        if (late > std::chrono::milliseconds(10) && lateTurns_.size() < 64)
            lateTurns_.emplace_back(now, late);
    }

    void readCommand() {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            // The driver went away: nobody will ask again.
            stdin_->setEnabled(false);
            return;
        }
        if (QByteArray(buffer, int(got)).contains("report"))
            report();
    }

    void report() const {
        QByteArray line = "bench-lag max_us=" + QByteArray::number(qint64(max_.count())) +
                          " max_at_ns=" + QByteArray::number(nanoseconds(maxAt_)) +
                          " load_us=" + QByteArray::number(qint64(load_.count())) +
                          " ticks=" + QByteArray::number(ticks_) + " over20=" + QByteArray::number(over20_) +
                          " late=";
        for (std::size_t i = 0; i < lateTurns_.size(); ++i) {
            if (i > 0)
                line += ',';
            line += QByteArray::number(nanoseconds(lateTurns_[i].first)) + ':' +
                    QByteArray::number(qint64(lateTurns_[i].second.count()));
        }
        line += '\n';
        // One write, so the line never mixes with the program's own output.
        [[maybe_unused]] const ssize_t written =
            ::write(STDOUT_FILENO, line.constData(), size_t(line.size()));
    }

    static qint64 nanoseconds(Clock::time_point at) {
        return qint64(std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
    }

    std::chrono::microseconds interval_;
    QTimer timer_;
    QSocketNotifier* stdin_ = nullptr;
    std::optional<Clock::time_point> loadStart_;
    std::chrono::microseconds load_{0};
    Clock::time_point last_;
    std::chrono::microseconds max_{0};
    Clock::time_point maxAt_;
    qint64 ticks_ = 0;
    qint64 over20_ = 0;
    std::vector<std::pair<Clock::time_point, std::chrono::microseconds>> lateTurns_;
};
