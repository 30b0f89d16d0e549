#pragma once

#include <QList>
#include <QString>

#include <functional>

// The last lines the panel wrote to the system log in this run, for its own log window: a small ring that
// systemLog feeds from any thread. It does no widget work; with no window open it only keeps the lines.
namespace LogBook {

constexpr qsizetype capacity = 1000;

struct Line {
    qint64 number; // counted from 0 since the start of the run
    QString stamp; // as standard error shows it
    QString text;  // literally as logged
};

struct Page {
    QList<Line> lines; // the kept lines from the number asked for on, oldest first
    qint64 written;    // all lines written in this run; the ring keeps the last `capacity` of them
};

void append(const QString& stamp, const QString& text);

// Also tells the ring that its reader is up to date: the next line calls the listener again.
Page since(qint64 number);

// Called on the writing thread after a line arrives that the reader has not been told of yet, so a burst
// of lines costs one call. An empty listener removes it.
void setListener(std::function<void()> listener);

} // namespace LogBook
