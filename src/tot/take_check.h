// The check of a take against the unit's time while the NTP daemon serves: a
// broadcast time that jumps is believed only when the next take agrees.
#pragma once

#include "tot/tot_state.h"

// Whether the broadcast time just read (date and time normalised, its fraction
// in the TOT state) is taken.
// Taken at once while the daemon does not serve (the first take after start,
// after the holdover limit); else when it lies within a second of the unit's
// time (the last take carried forward on the unit's monotonic clock), or of the take
// held back before it. Any other is held back in its place, logged with both
// times (once a run of them).
bool take_believed(const TotDate& date, const TotTime& time);
