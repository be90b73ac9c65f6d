// The NTP daemon: its start (a restart of a running daemon) and stop, and the
// stratum it serves, written to its configuration for the delivery of broadcast
// time that time_delivery chooses.
#pragma once

#include "tot/ntp_daemon.h"

#include <algorithm>
#include <cstdint>

struct NtpServerState {
    int32_t running; // 1 after ntp_server_start, 0 after ntp_server_stop
    int32_t stratum; // last stratum asked for, 16 at start
    int32_t written; // 1 once that stratum was written to the configuration
    // Shm delivery: 1 when the configuration written names the unit's segment.
    int32_t refclock_written = 0;
    // Why the operator stopped the daemon ("reset": a RESET), carried by
    // the stop and the next start; nullptr for the unit's own stops.
    const char* stop_reason = nullptr;
    // 1 while the stratum written is raised for the holdover.
    int32_t raised = 0;
};

extern NtpServerState ntp_server;

// Starts the daemon; in shm delivery only with a segment of the unit's own
// (refused starts logged once a run, counted).
void ntp_server_start();
// Stops the daemon; reason names an operator's cause, nullptr for the unit's.
void ntp_server_stop(const char* reason = nullptr);
// The stratum asked for (the variant's 10 whatever is asked) written to the
// daemon's configuration unless it stands written, and a running daemon
// restarted to serve it. 0, or -1 when the write failed (logged; tried again
// at the next tick).
int set_ntp_stratum(int stratum);
// At each tick: a stratum whose write failed (a full RAM disk) is written
// again, and a running daemon restarted to take it.
void ntp_server_retry_stratum();
// Once a tick: whether the daemon serves the free-running clock (the
// holdover). With step delivery the daemon cannot tell it from broadcast time,
// so the unit raises the stratum it serves by kHoldoverStrata for the holdover
// and restores it after, stopping and starting a running daemon each time. With shm
// delivery the daemon sees the samples stop and degrades its answers itself.
void ntp_server_holdover(bool free_running);
// The strata added to the served one for the holdover (15 at most).
constexpr int kHoldoverStrata = 4;
// Shm delivery: the stratum at which the daemon serves its own clock (ntpsec's
// orphan, chrony's local stratum) while the unit's reference clock, at the
// stratum given, is not yet or no longer fit: the holdover's.
constexpr int own_clock_stratum(int refclock_stratum) {
    return std::min(refclock_stratum + 1 + kHoldoverStrata, kMaxStratum);
}
