// Holdover: how long the unit has gone without taking broadcast time, the NTP
// daemon serving the free-running clock once that passes a minute, and the
// daemon stopped once it passes the installation's limit (ORV_HOLDOVER_S
// seconds, counted in ticks; 0 serves the free-running clock without limit).
// The next take ends the holdover and starts the daemon again.
#pragma once

#include <cstdint>

struct HoldoverState {
    int64_t ticks_since_take; // ticks (seconds) since the last take, 0 on its tick
    bool daemon_stopped;      // the NTP daemon is stopped for the holdover
    bool serving;             // the NTP daemon serves the free-running clock
    bool bad_limit_logged;    // an unusable ORV_HOLDOVER_S was reported
};

extern HoldoverState holdover;

// At the start of every tick of the TOT step.
void holdover_count();
// A take: the holdover is over.
void holdover_take();
// At the end of every tick: begins the holdover after a minute without a take
// while the daemon runs, and stops the daemon once the limit is reached.
void holdover_check();
