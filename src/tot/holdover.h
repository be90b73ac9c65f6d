// Holdover: how long the unit has gone without taking broadcast time, on its
// monotonic clock whatever keeps the takes away, the NTP daemon serving the
// free-running clock once that passes a minute, and the daemon stopped once it
// passes the installation's limit (ORV_HOLDOVER_S seconds in plain digits, 60
// or more; exactly "0" serves the free-running clock without limit): the one
// rule that stops the daemon for want of broadcast time (tuner restarts and
// re-tunes leave it serving). The next take ends the holdover and starts the
// daemon again.
#pragma once

#include <cstdint>
#include <optional>

struct HoldoverState {
    // The unit's monotonic clock (pace_clock_us) at the last take, or at the
    // first tick before any take.
    std::optional<int64_t> since_us;
    int64_t seconds_since_take; // as of the start of this tick
    bool taken;                 // a take since the start
    bool daemon_stopped;        // the NTP daemon is stopped for the holdover
    bool serving;               // the NTP daemon serves the free-running clock
};

extern HoldoverState holdover;

// At the start of every tick of the TOT step.
void holdover_count();
// A take: the holdover is over.
void holdover_take();
// At the end of every tick: begins the holdover after a minute without a take
// while the daemon runs, and stops the daemon once the limit is reached.
void holdover_check();
// The TOT function switched off: a daemon serving is stopped as at the limit,
// since no take will come.
void holdover_function_off();
// Whether the unit keeps broadcast time: a take not longer ago than the limit.
bool holdover_has_broadcast_time();
