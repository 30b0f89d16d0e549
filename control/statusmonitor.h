#pragma once

#include "host/servicestate.h"

#include <QString>

// The status monitor's decisions as plain functions: what the screen knows in, what to do out. The screen
// applies them in order (bookkeeping first, then the refresh it posts), always on the main thread.

// What the screen knows when a status answer arrives.
struct StatusInput {
    ServiceState answer = ServiceState::deviceStateDown;
    ServiceState oldStatus = ServiceState::deviceStateDown;
    qint64 tick = -1;
    // The stored last action: "up", "down", or whatever else the settings hold.
    QString lastAction;
    // Whether the busy view shows.
    bool busyView = false;
    // Whether a start or stop has not yet handed over to its check or its return to the views.
    bool jobUnderWay = false;
    // Whether this panel's Stop succeeded since the node was last seen running: then its stop is no news.
    bool stopDone = false;
};

struct StatusDecision {
    qint64 tick = -1;
    ServiceState oldStatus = ServiceState::deviceStateDown;
    // For the system log; empty: none.
    QString logLine;
    // Whether the views show the answer (through refreshStateViews).
    bool refresh = false;
    // Whether the desktop hears that the node stopped.
    bool notify = false;
    // Whether the node started or stopped, which takes away the words of a failed start or stop.
    bool changed = false;
    bool stopDone = false;
};

// Running against not running is what changes: a node that answers down and then closed has not come back
// in between. A stop while the user's last action was "up" counts as caused by an error: logged, and the
// clock and the views stay, so that the next answer decides; unless the busy view shows, which no check
// would ever end.
StatusDecision decideStatus(const StatusInput& in);

// What the clock knows at each second.
struct TickInput {
    qint64 tick = -1;
    // Seconds the clock has counted while not running.
    qint64 stoppedTick = 0;
    bool busyView = false;
    bool jobUnderWay = false;
    // Whether a check of the screen's own awaits its answer.
    bool checking = false;
};

struct TickDecision {
    qint64 tick = -1;
    qint64 stoppedTick = 0;
    // Whether to check the node now.
    bool query = false;
};

// One second of the clock. While it counts uptime, the node is checked every five seconds of it unless the
// busy view shows: a check, start or stop under way brings its own answer. While it does not, the stopped
// view checks every five seconds too, so that a node which comes up late, by itself or from another tool,
// is shown running: one check at a time, and none while a start or stop runs its own.
TickDecision decideTick(const TickInput& in);
