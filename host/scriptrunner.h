#pragma once

#include "host/noderun.h"

#include <QString>

#include <optional>

// The text rules of the privileged script runner, as plain functions; the shell lines are the root
// helper's too (host/noderun.h).

// What to tell the user when pkexec itself failed, told apart from the script's own exit status 126 or 127
// by what pkexec wrote (in the C locale). Nothing when the failure is the script's.
std::optional<QString> pkexecFailureMessage(int status, const QString& errorOutput);
