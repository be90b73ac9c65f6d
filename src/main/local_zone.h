// The unit's zone: broadcast time is Japan time, and the clock is set from it in
// local time.
#pragma once

// True when local time is UTC+9 without daylight saving all year.
bool local_zone_is_japan();
// Logs one level-3 line when it is not: the clock would be set hours off.
void check_local_zone();
