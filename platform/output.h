#pragma once

#include <QByteArray>

// Writes the line and a line feed to the file descriptor in one piece, so that lines written by several
// threads at once never mix, and nothing waits in a buffer for a reader on the other end of a pipe.
void writeWholeLine(int fd, const QByteArray& line);

// One line on standard output (the launch line, every uploaded log line).
void writeStdoutLine(const QByteArray& line);

// Ends the process at once with the status, after flushing standard output. Nothing waits for background
// jobs: one may sit at the administrator prompt for as long as the user likes, and a running script is
// left to finish on its own.
[[noreturn]] void exitProcessNow(int status);
