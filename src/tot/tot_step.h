// TOT acquisition: the per-tick step that takes broadcast time from the FPGA,
// sets the clock, and watches lock, JST flag, failures and the switch.
#pragma once

#include "tot/tot_files.h"
#include <cstdint>
#include <mutex>

// Around every call into the time service: tot_read_settings, tot_log_settings,
// tuner_init, tuner_start and tot_step.
extern std::mutex tot_mutex;

int tot_step(TotSettings& settings, TotStatus& status);

// Arms the TOT capture (0xA014 with readback) and notes the moment: a time
// latched from then on is known to be no older than that.
void tot_arm_capture();
