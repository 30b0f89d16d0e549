#pragma once

#include <QString>

#include <optional>

// The text rules of the privileged script runner, as plain functions.

// The two shell lines that run a node command: cd into the Resources folder of the bundle (trimmed, and
// quoted for the shell), then "sudo ./bash " and the command as it is.
QString privilegedShellText(const QString& bundlePath, const QString& command);

// What to tell the user when pkexec itself failed, told apart from the script's own exit status 126 or 127
// by what pkexec wrote (in the C locale). Nothing when the failure is the script's.
std::optional<QString> pkexecFailureMessage(int status, const QString& errorOutput);
