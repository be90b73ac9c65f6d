// The TOT step's state, one per process: the counters of its rhythms (lock,
// JST flag, failures, re-arm, switch), the last take, why takes are missing,
// and the GPIO indication. The capture's own state is tot_capture's.
#pragma once

#include "log/status_log.h"
#include "tot/tot_capture.h"
#include <cstdint>

// GPIO output indications.
constexpr uint32_t kIndicationUnlocked = 0x0100;
constexpr uint32_t kIndicationTaken = 0x4500;
constexpr uint32_t kIndicationFailing = 0x8900;
constexpr uint32_t kIndicationEnding = 0x0A00;

struct TotState {
    // The last take (shown in the status file and the log).
    TotDate last_date;
    TotTime last_time;
    // The system clock (s since the epoch) after the last take, 0 before the first.
    int64_t taken_at_s = 0;
    int32_t status_errors;
    int32_t rearm_wait;
    int32_t ticks_since_tot;
    int32_t unlocked_count;
    int32_t jst_wait;
    int32_t read_failures;
    bool failure_logged; // "Failed to get TOT" logged, no take since
    int32_t switch_count;
    bool switch_unreadable; // while the GPIO input reads fail (logged once)
    uint32_t indication_wanted = kIndicationUnlocked;
    uint32_t indication_written = kIndicationUnlocked;
    // Why the last tick took no time, and the reason last logged for a run of
    // ticks without a take.
    const char* miss_reason = nullptr;
    const char* miss_logged = nullptr;
    LogRepeat tuner_silent; // the run of failed statistics reads
};

extern TotState tot_state;
