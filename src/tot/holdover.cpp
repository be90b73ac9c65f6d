// The holdover: the NTP daemon serving the free-running clock from a minute
// without a take on, and stopped after ORV_HOLDOVER_S seconds without one, so
// that a drifting free-running clock is not served as synchronised for long.
#include "tot/holdover.h"

#include "log/status_log.h"
#include "os/deploy_settings.h"
#include "tot/ntp_server.h"

#include <cstdlib>
#include <string>

HoldoverState holdover{0, false, false};

namespace {

constexpr long kDefaultLimit = 3600;
// The ticks without a take after which the daemon serves the free-running clock.
constexpr int64_t kHoldoverAfterTicks = 60;
bool bad_limit_logged = false;

// ORV_HOLDOVER_S in seconds; an unusable value keeps the default (logged once).
long holdover_limit() {
    const std::string text = deploy_setting("ORV_HOLDOVER_S", "3600");
    char* end = nullptr;
    const long limit = std::strtol(text.c_str(), &end, 10);
    if (*end == '\0' && limit >= 0) return limit;
    if (!bad_limit_logged)
        LogPrint(LOG_TO_BOTH, 3, "ORV_HOLDOVER_S \"%s\" is no number of seconds: %ld kept\n",
                 LogEscaped(text).c_str(), kDefaultLimit);
    bad_limit_logged = true;
    return kDefaultLimit;
}

// Serving the free-running clock ends with a take or with the daemon's stop
// (at the limit, or for a tune).
void holdover_begin_or_end() {
    if (!ntp_server.running) {
        holdover.serving = false;
        return;
    }
    const long limit = holdover_limit();
    if (limit != 0 && holdover.ticks_since_take >= limit) {
        LogPrint(LOG_TO_BOTH, 3,
                 "No broadcast time for %lld s (holdover limit %ld s): NTP daemon stopped\n",
                 static_cast<long long>(holdover.ticks_since_take), limit);
        ntp_server_stop();
        holdover.daemon_stopped = true;
        holdover.serving = false;
    } else if (!holdover.serving && holdover.ticks_since_take > kHoldoverAfterTicks) {
        LogPrint(LOG_TO_BOTH, 6,
                 "Holdover begun: NTP daemon serving the free-running clock, no broadcast time "
                 "for %lld s\n",
                 static_cast<long long>(holdover.ticks_since_take));
        holdover.serving = true;
    }
}

} // namespace

void holdover_count() {
    ++holdover.ticks_since_take;
}

void holdover_take() {
    holdover.ticks_since_take = 0;
    holdover.daemon_stopped = false;
    holdover.serving = false;
}

// The daemon's stratum follows the holdover.
void holdover_check() {
    holdover_begin_or_end();
    ntp_server_holdover(holdover.serving);
}
