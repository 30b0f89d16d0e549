#pragma once

#include <QString>

// What runs as root on the user's behalf, shared by the panel and its root helper, which links nothing
// else of the panel's: where the bundle lies, the shell lines that run a node command in it, and the run.

// The bundle around an executable folder: <bundle>/Contents/bin or <bundle>/Contents/libexec.
QString bundleOfExecutableFolder(const QString& folder);

// The bundle around the running program, as the kernel knows its file; empty when it cannot say.
QString bundleOfThisProgram();

// The two shell lines that run a node command: cd into the Resources folder of the bundle, whose path is
// taken as it is (nothing trimmed) and quoted for the shell, then "sudo ./bash " and the command as it is.
QString privilegedShellText(const QString& bundlePath, const QString& command);

// Checks the node files again and, when they are safe, replaces the process with /bin/sh running the node
// command in the bundle, from "/". Returns only when it does not run it: the exit status, with why written
// to standard error.
int execNodeCommand(const QString& bundle, const QString& command);
