#pragma once

#include "host/hostconfig.h"
#include "host/noderun.h"

#include <QLocale>
#include <QStringList>

#include <functional>
#include <memory>

class QApplication;
class WindowController;

// Puts the panel's texts, and Qt's own (standard buttons, the command line's headings), into the first of
// the locale's languages that the panel is translated to. Nothing for any other language: the texts stay
// English throughout rather than mixed.
void installTranslations(const QLocale& locale = QLocale::system());

// Whether a launch's command line starts the panel: it holds nothing but Qt's own options (the application
// object takes them) and perhaps "--", which ends the options. Needs no application object.
bool commandLineStartsPanel(const QStringList& arguments);

// Answers any other command line: --help and --version print their text; anything else is named on
// standard error, its control characters escaped. Returns the exit status: 0; 1 when the text could not
// be written (said on standard error); 2 for a wrong argument. Needs an application object, but no GUI
// and no display.
int answerCommandLine(const QStringList& arguments);

// What this build talks to: the node on this computer, the compiled-in account server and web site, the
// bundle around the running executable, and administrator rights through pkexec unless already root.
HostConfig productionConfig();

// The sizes in pixels of the window icon's pictures.
inline constexpr int windowIconSizes[] = {16, 32, 64, 128};

// The application object, on the display that Qt's options and the environment name. On X11 its frames go
// to the display server through the connection rather than shared memory; a setting the user made for that
// is kept.
std::unique_ptr<QApplication> openApplication(int& argc, char** argv);

// What desktops know the application by (its id, display name and icon), and that only the quit gate ends
// it, not the closing of its last window.
void prepareApplication();

// Builds the panel (the delegate, the main window with its screen) and runs the event loop until the quit
// gate, or a termination signal, ends it; then ends the process with the loop's status at once. Nothing
// waits for a start or stop job: one may sit at the administrator prompt. launched runs once the window
// shows.
[[noreturn]] void runPanel(const HostConfig& config,
                           const std::function<void(WindowController& window)>& launched = {});
