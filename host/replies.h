#pragma once

#include "host/servicestate.h"

#include <QByteArray>
#include <QString>

#include <optional>

// How the panel reads the two replies it gets: the node's status and the account server's answer to an
// upload. Plain functions; the callers store and log what they return.

// Logged for a reply that is not JSON at all (empty, HTML, a bare number); JSON of another shape is not.
inline const QString unparsableReplyLine = QStringLiteral("xxoo failed to parse the json result");

// The state a status reply reports: an integral "state" of 0, 1 or 2 (1.0 counts as 1), else
// deviceStateDown. Nothing when the body is not JSON at all.
std::optional<ServiceState> stateFromStatusBody(const QByteArray& body);

// The system-log line for the account server's answer to an upload, if the answer calls for one:
// "xxoo log result = <succ>", with ", err = Optional(\"...\")" or ", err = nil" when succ is negative.
std::optional<QString> uploadResultLine(const QByteArray& body);
