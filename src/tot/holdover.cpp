// The holdover: the NTP daemon serving the free-running clock from a minute
// without a take on, and stopped after ORV_HOLDOVER_S seconds without one, so
// that a drifting free-running clock is not served as synchronised for long.
#include "tot/holdover.h"

#include "log/deploy_report.h"
#include "log/status_log.h"
#include "os/pace.h"
#include "tot/ntp_server.h"
#include "tot/take_counters.h"

HoldoverState holdover{};

namespace {

// The seconds without a take after which the daemon serves the free-running clock.
constexpr int64_t kHoldoverAfter = 60;

// ORV_HOLDOVER_S in seconds, 0 for no limit; an unusable value keeps the
// default (logged once).
int64_t holdover_limit() {
    const DeployValue limit = deploy_value("ORV_HOLDOVER_S");
    log_deploy_problem(limit);
    return limit.number;
}

// Serving the free-running clock ends with a take or with the daemon's stop
// (at the limit, or for a tune).
void holdover_begin_or_end() {
    const int64_t limit = holdover_limit();
    if (!ntp_server.running) {
        holdover.serving = false;
        return;
    }
    if (limit != 0 && holdover.seconds_since_take >= limit) {
        LogPrint(LOG_TO_BOTH, 3,
                 "No broadcast time for %lld s (holdover limit %lld s): NTP daemon stopped\n",
                 static_cast<long long>(holdover.seconds_since_take),
                 static_cast<long long>(limit));
        ntp_server_stop();
        holdover.daemon_stopped = true;
        holdover.serving = false;
    } else if (!holdover.serving && holdover.seconds_since_take > kHoldoverAfter) {
        LogPrint(LOG_TO_BOTH, 6,
                 "Holdover begun: NTP daemon serving the free-running clock, no broadcast time "
                 "for %lld s\n",
                 static_cast<long long>(holdover.seconds_since_take));
        holdover.serving = true;
        ++take_counters.holdovers;
    }
}

} // namespace

void holdover_count() {
    if (!holdover.since_us) holdover.since_us = pace_clock_us();
    holdover.seconds_since_take = (pace_clock_us() - *holdover.since_us) / 1000000;
}

void holdover_take() {
    holdover.since_us = pace_clock_us();
    holdover.seconds_since_take = 0;
    holdover.taken = true;
    holdover.daemon_stopped = false;
    holdover.serving = false;
}

// The daemon's stratum follows the holdover.
void holdover_check() {
    holdover_begin_or_end();
    ntp_server_holdover(holdover.serving);
}

void holdover_function_off() {
    if (!ntp_server.running) return;
    LogPrint(LOG_TO_BOTH, 6, "TOT function off: NTP daemon stopped\n");
    ntp_server_stop();
    holdover.daemon_stopped = true;
    holdover.serving = false;
}

bool holdover_has_broadcast_time() {
    if (!holdover.taken) return false;
    const int64_t limit = holdover_limit();
    return limit == 0 || (pace_clock_us() - *holdover.since_us) / 1000000 < limit;
}
