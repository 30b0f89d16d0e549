#include "control/statusmonitor.h"

StatusDecision decideStatus(const StatusInput& in) {
    const bool running = in.answer == ServiceState::deviceStateUp;
    StatusDecision out;
    out.tick = in.tick;
    out.oldStatus = in.answer;
    out.stopDone = in.stopDone;
    out.changed = running != (in.oldStatus == ServiceState::deviceStateUp);
    out.refresh = true;
    if (!out.changed)
        return out;
    out.notify = !running && !in.stopDone && !in.jobUnderWay;
    if (running) {
        out.tick = 0;
        out.stopDone = false;
    } else if (in.lastAction == QLatin1String("up")) {
        out.logLine = QStringLiteral("it was caused by error, node would be restarted at once.");
        out.refresh = in.busyView;
    } else {
        out.tick = -1;
    }
    return out;
}

TickDecision decideTick(const TickInput& in) {
    TickDecision out{in.tick, in.stoppedTick, false};
    if (in.tick < 0) {
        out.stoppedTick = in.stoppedTick + 1;
        out.query = out.stoppedTick % 5 == 0 && !in.busyView && !in.jobUnderWay && !in.checking;
        return out;
    }
    out.tick = in.tick + 1;
    out.query = out.tick % 5 == 0 && !in.busyView;
    return out;
}
