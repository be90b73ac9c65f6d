// Holdover: how long the unit has gone without taking broadcast time, and the
// NTP daemon stopped once that passes the installation's limit (ORV_HOLDOVER_S
// seconds, counted in ticks; 0 serves the free-running clock without limit).
// The next take starts the daemon again.
#pragma once

#include <cstdint>

struct HoldoverState {
    int64_t ticks_since_take; // ticks (seconds) since the last take, 0 on its tick
    bool daemon_stopped;      // the NTP daemon is stopped for the holdover
};

extern HoldoverState holdover;

// At the start of every tick of the TOT step.
void holdover_count();
// A take: the holdover is over.
void holdover_take();
// At the end of every tick: stops the daemon once the limit is reached.
void holdover_check();
