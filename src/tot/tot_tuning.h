// Tuning for the time service: the tuner tuned or restarted while the NTP
// daemon serves on, and the tuned settings' stratum written to its
// configuration.
#pragma once

#include "tot/tot_files.h"

// Tunes to the configured channel; -1 (and nothing stopped) when the tuner
// library is not open. A running daemon is restarted when the stratum
// changes; stopped only with `stop_reason`, the operator's (a restart of the
// program's pass).
int tot_tuner_start(const TotSettings& settings, const char* stop_reason = nullptr);
// Why the tuner is restarted, the number that its log line gives.
enum TunerRestartReason : int { kRestartStatusFailures = 0, kRestartJstTimeout = 1 };
// Restarts the tuner hardware and tunes again to the current settings.
int tot_tuner_restart(TunerRestartReason reason);
