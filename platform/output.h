#pragma once

#include <QByteArray>

#include <chrono>

// Lines for standard output, standard error and the system journal go through one writer thread, in the
// order they are written, each in one piece. A reader that stops reading (a pipe nobody drains, a terminal
// on hold) stalls that thread and never the caller; lines that find its queue full are dropped.

// Writes the line and a line feed to the file descriptor.
void writeWholeLine(int fd, const QByteArray& line);

// One line on standard output (the launch line, every uploaded log line).
void writeStdoutLine(const QByteArray& line);

// One line to the system journal.
void writeJournalLine(const QByteArray& line);

// Waits until every line handed over so far is written, at most timeout. False if they were not.
bool flushOutput(std::chrono::milliseconds timeout);

// Ends the process at once with the status, after giving the writer a moment to finish. Nothing waits for
// background jobs: one may sit at the administrator prompt for as long as the user likes, and a running
// script is left to finish on its own.
[[noreturn]] void exitProcessNow(int status);
