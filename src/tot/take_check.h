// The check of a take against the unit's time while the NTP daemon serves: a
// broadcast time that jumps is believed only when the next take agrees.
#pragma once

#include "tot/tot_capture.h"

// Whether the broadcast time just read (date and time normalised, its fraction
// in tot_capture) is taken.
// Taken at once while the daemon does not serve (the first take after start,
// after the holdover limit); else when it lies within a second of the unit's
// time (the last take carried forward on the unit's monotonic clock), or of the take
// held back before it. Any other is held back in its place, logged with both
// times (once a run of them).
bool take_believed(const TotDate& date, const TotTime& time);
// Forgets the takes checked (tests).
void take_check_reset();
