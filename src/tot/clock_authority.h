// The one authority over the clock: while the unit keeps broadcast time (the
// TOT function on and a take within the holdover limit) only the broadcast
// sets it, and a manual date or the unit's NTP client leaves it alone. The
// system settings that ask for both, the NTP client (TimeAdjust=1) beside the
// TOT function, are a conflict that is logged and published.
#pragma once

#include <string>

// Whether the unit keeps broadcast time. Takes the TOT mutex.
bool broadcast_time_kept();
// What the system settings ask for against it; empty when nothing.
std::string time_source_conflict();
// Logs the conflict when it begins (at start, at a setup change of the system
// file): once while it lasts.
void report_time_source_conflict();
