#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>

#include <optional>

// The reading rules shared by the replies of the node and of the account server.

// The reply body as a JSON object, or nothing. A body that is not JSON at all (empty, HTML, a bare
// number) writes "xxoo failed to parse the json result" to the system log; JSON of another shape does not.
std::optional<QJsonObject> replyObject(const QByteArray& body);

// The integer a JSON value holds, when it is a number with an integral value that fits 64 bits. 1.0
// counts as 1; booleans, strings and null are not numbers.
std::optional<qint64> integralValue(const QJsonValue& value);
