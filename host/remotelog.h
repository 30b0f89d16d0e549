#pragma once

#include <QByteArray>
#include <QString>

// The text rules of the remote log, as plain functions.

// A log line as it is uploaded and printed: ";" turned into ",", then percent-encoded for a URL query.
// "&", "=" and "+" are encoded as well, so that the line can never become extra form fields.
QByteArray encodedLogLine(const QString& message);

// "Mac " and the first three numbers of a kernel release: "6.1.0-18-amd64" gives "Mac 6.1.0", "6.5" gives
// "Mac 6.5.0"; a missing number is 0.
QString osVersionFromRelease(const QString& release);
