// The TOT state, one per process, and the pieces of the TOT step that work on
// it: FPGA date and time reads, the MJD and BCD conversions, normalisation,
// alignment to the FPGA clock, the network-init switch and the result lines.
#pragma once

#include "log/status_log.h"
#include "tot/tot_files.h"
#include <climits>
#include <cstdint>
#include <optional>

struct TotDate {
    int32_t year;
    int32_t month;
    int32_t day;
};

// BCD digits as read from the FPGA, plain integers once normalised.
struct TotTime {
    uint8_t extra;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};

// GPIO output indications.
constexpr uint32_t kIndicationUnlocked = 0x0100;
constexpr uint32_t kIndicationTaken = 0x4500;
constexpr uint32_t kIndicationFailing = 0x8900;
constexpr uint32_t kIndicationEnding = 0x0A00;

// A moment of the unit's clock that has not come yet.
constexpr int64_t kNever = INT64_MIN / 4;

struct TotState {
    TotDate last_date;
    TotTime last_time;
    int32_t milliseconds;
    int32_t microseconds;
    TotDate adjust_date;
    TotTime adjust_time;
    uint32_t last_time_word = 0xFFFFFFFF;
    int32_t status_errors;
    int32_t tot_status; // 1 after 0x0014 was written to the capture control
    int32_t rearm_wait;
    int32_t ticks_since_tot;
    int32_t unlocked_count;
    int32_t jst_wait;
    int32_t read_failures;
    int32_t failure_logged;
    int32_t switch_count;
    uint32_t indication_wanted = kIndicationUnlocked;
    uint32_t indication_written = kIndicationUnlocked;
    int32_t switch_unreadable; // 1 while the GPIO input reads fail (logged once)
    // Moments of the unit's clock (pace_clock_us) after which the FPGA latched
    // what a read finds: the capture last armed or the JST flag last read clear.
    int64_t flag_clear_at = kNever;
    // The time word as last read (on every counted tick and by every time
    // read), the moment before that read, and the moment before the last read
    // that found another word: the word's latch came after that moment.
    uint32_t seen_word = 0;
    int64_t seen_at = kNever;
    int64_t seen_changed_after = kNever;
    // The system clock (ns since the epoch) and the monotonic clock (us) when
    // the sub-second count of the last time read was read: the moment that the
    // broadcast time stands for.
    int64_t sub_second_read_ns;
    int64_t sub_second_read_us;
    // The system clock (s since the epoch) after the last take, 0 before the first.
    int64_t taken_at_s = 0;
    // Why the last read of a time failed, why the last tick took none, and the
    // reason last logged for a run of ticks without a take.
    const char* read_failure = nullptr;
    const char* miss_reason = nullptr;
    const char* miss_logged = nullptr;
    LogRepeat tuner_silent; // the run of failed statistics reads
    // The broadcast time less the unit's monotonic clock (pace_clock_us, µs)
    // at the last take, and at a take held back for want of agreement
    // (take_check); the run of those held back.
    std::optional<int64_t> taken_offset_us;
    std::optional<int64_t> held_offset_us;
    LogRepeat wild_takes;
};

extern TotState tot_state;

// Back to the start values (tests only: the unit never resets the state).
void tot_state_reset();

// fresh_capture: the JST flag was found raised, so that a date word of 0 may
// be the day the 16-bit MJD wraps (2038-04-23).
int fpga_read_date(TotDate& date, bool fresh_capture = false);
// latch_after: a moment after which the time read must have been latched.
// fresh_capture: the JST flag was found raised, so that a time word of 0 is
// midnight rather than no time.
int fpga_read_time(TotTime& time, int64_t latch_after, bool fresh_capture = false);
// Reads the time word to see when it changes (every counted tick), so that a
// later read knows its latch to within a tick.
void watch_time_word();
int mjd_to_date(uint32_t mjd, TotDate& date);
int bcd_to_int(uint8_t value);
// 0, or -1 when the date and time make no calendar time or one before the
// program's build.
int tot_normalize_time(TotDate& date, TotTime& time);
void fpga_time_adjust();
void check_end_switch();
void tot_log_result(const TotStatus& status, int failed);
