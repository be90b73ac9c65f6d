// The sandbox's NTP daemon: a stand-in that answers client queries on the
// sandbox's own address (ORV_NTP_QUERY in its deployment settings) with the
// sandbox's clock, at the stratum that the unit's configuration of its daemon
// serves, only while the unit has started its daemon (its start and stop
// commands as the sandbox journals them): orvctl and the unit's own query see
// in a sandbox what they see on a unit. A thread of its own listens while the
// daemon runs and closes the port while it is stopped.
#pragma once

#include <string>

// Starts the stand-in when the sandbox names an address (one that is none is
// said on standard error, and nothing answers).
void sim_ntp_start();
// Stops its thread; nothing listens after it.
void sim_ntp_stop();
// A command of the unit: the start or the stop of its NTP daemon, or another.
void sim_ntp_note_command(const std::string& command);
