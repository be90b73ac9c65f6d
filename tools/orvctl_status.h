// orvctl status: what the unit publishes, read and shown.
#pragma once

#include <string>

// Prints the unit's state as aligned lines, or as one JSON object. Returns the
// verdict, as orvctl_serving.
int orvctl_status(bool json);
// 0 when the unit serves broadcast time and the NTP daemon answers synchronised,
// 1 when not served, 2 when unknown (the unit not running, its state
// unreadable); `reason` says why.
int orvctl_serving(std::string& reason);
// The process that holds the unit's lock file (a unit that runs, starts or
// stops), 0 when none does.
long orvctl_lock_holder();
