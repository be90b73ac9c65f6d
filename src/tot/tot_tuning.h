// Tuning for the time service: the NTP daemon stopped around every tune of the
// tuner, and the tuned settings' stratum written to its configuration.
#pragma once

#include "tot/tot_files.h"

// Tunes to the configured channel; -1 (and nothing stopped) when the tuner
// library is not open. A running daemon is stopped for the operator's reason
// (nullptr: the unit's own).
int tot_tuner_start(const TotSettings& settings, const char* reason = nullptr);
// Restarts the tuner hardware and tunes again to the current settings.
int tot_tuner_restart(int reason);
