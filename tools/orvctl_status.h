// orvctl status: what the unit publishes, read and shown.
#pragma once

// Prints the unit's state as aligned lines, or as one JSON object. Returns the
// exit status.
int orvctl_status(bool json);
