#pragma once

#include "host/hostconfig.h"

#include <QLocale>
#include <QStringList>

#include <functional>

class WindowController;

// Puts the panel's texts, and Qt's own (standard buttons, the command line's headings), into the first of
// the locale's languages that the panel is translated to. Nothing for any other language: the texts stay
// English throughout rather than mixed.
void installTranslations(const QLocale& locale = QLocale::system());

// Answers the command line of a launch with arguments: the panel itself takes none, only --help and
// --version, which print their text. Anything else is named on standard error. Returns the exit status: 0,
// or 2 for a wrong argument. Needs an application object, but no GUI and no display.
int answerCommandLine(const QStringList& arguments);

// What this build talks to: the node on this computer, the compiled-in account server and web site, the
// bundle around the running executable, and administrator rights through pkexec unless already root.
HostConfig productionConfig();

// The bundle around an executable folder: <bundle>/Contents/bin.
QString bundleOfExecutableFolder(const QString& folder);

// The sizes in pixels of the window icon's pictures.
inline constexpr int windowIconSizes[] = {16, 32, 64, 128};

// What desktops know the application by (its id, display name and icon), and that only the quit gate ends
// it, not the closing of its last window.
void prepareApplication();

// Builds the panel (the delegate, the main window with its screen) and runs the event loop until the quit
// gate, or a termination signal, ends it; then ends the process with the loop's status at once. Nothing
// waits for a start or stop job: one may sit at the administrator prompt. launched runs once the window
// shows.
[[noreturn]] void runPanel(const HostConfig& config,
                           const std::function<void(WindowController& window)>& launched = {});
