#pragma once

#include "host/hostconfig.h"

#include <functional>

class WindowController;

// What this build talks to: the node on this computer, the compiled-in account server and web site, the
// bundle around the running executable, and administrator rights through pkexec unless already root.
HostConfig productionConfig();

// The bundle around an executable folder: <bundle>/Contents/bin.
QString bundleOfExecutableFolder(const QString& folder);

// Builds the panel (the delegate, the main window with its screen), runs the event loop and returns its
// exit status once the quit gate, or a termination signal, ends it. launched runs once the window shows.
int runPanel(const HostConfig& config, const std::function<void(WindowController& window)>& launched = {});
