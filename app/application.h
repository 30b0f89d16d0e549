#pragma once

#include <functional>

class WindowController;

// Builds the panel (the delegate, the main window with its screen), runs the event loop and returns its
// exit status once the quit gate, or a termination signal, ends it. launched runs once the window shows.
int runPanel(const std::function<void(WindowController& window)>& launched = {});
