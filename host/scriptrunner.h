#pragma once

#include "host/hostconfig.h"
#include "host/noderun.h"

#include <QString>

#include <optional>

// The text rules of the privileged script runner, as plain functions; the shell lines are the root
// helper's too (host/noderun.h).

// What went wrong when pkexec itself failed, told apart from the script's own exit status 126 or 127 by
// what pkexec wrote (in the C locale). Nothing when the failure is the script's.
std::optional<ScriptFailure> pkexecFailure(int status, const QString& errorOutput);

// A failure in the English line that the log and the account server keep.
QString scriptFailureLine(const ScriptFailure& failure);
// The same in the user's language, for the screen and the desktop. The script's own words stay as they are.
QString scriptFailureSentence(const ScriptFailure& failure);
