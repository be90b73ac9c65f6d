// The one authority over the clock: whether the unit keeps broadcast time, and
// the conflict of settings that choose the NTP client beside the TOT function.
#include "tot/clock_authority.h"

#include "log/status_log.h"
#include "settings/system_file.h"
#include "tot/holdover.h"
#include "tot/tot_step.h"

#include <mutex>

namespace {

// Set once the conflict is logged, cleared when the settings have none.
bool conflict_logged = false;

} // namespace

bool broadcast_time_kept() {
    if (!tot_function_enabled()) return false;
    std::lock_guard lock(tot_mutex);
    return holdover_has_broadcast_time();
}

std::string time_source_conflict() {
    if (!tot_function_enabled() || system_settings.TimeAdjust != 1) return "";
    return "TimeAdjust 1 (the NTP client) with the TOT function on: only broadcast time sets "
           "the clock while the unit keeps it";
}

void report_time_source_conflict() {
    const std::string conflict = time_source_conflict();
    if (!conflict.empty() && !conflict_logged)
        LogPrint(LOG_TO_BOTH, 3, "Time source conflict: %s\n", conflict.c_str());
    conflict_logged = !conflict.empty();
}
