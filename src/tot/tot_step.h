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

// The clock aligned to the FPGA's while the NTP daemon runs.
void fpga_time_adjust();
void check_end_switch();
enum class TotResult { updated, failed };
// "TOT Updated" after a run of ticks without a take, "Failed to get TOT" once a run.
void tot_log_result(const TotStatus& status, TotResult result);

// The step's, the capture's and the take check's state back to the start values
// (tests only: the unit never resets them).
void tot_state_reset();
