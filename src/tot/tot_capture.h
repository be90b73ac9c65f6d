// The FPGA's TOT capture: arming and stopping it, its JST flag, and the date,
// time and sub-second words read, checked and decoded (MJD, BCD, the carry of
// the fraction, the latch's age) into one take of broadcast time or the reason
// there is none.
#pragma once

#include <climits>
#include <cstdint>

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

// A moment of the unit's clock that has not come yet.
constexpr int64_t kNever = INT64_MIN / 4;

// The value last written to the capture control: 0xA014 arms it, 0x0014 stops it.
enum class CaptureControl : int32_t { armed = 0, stopped = 1 };

struct TotCapture {
    CaptureControl tot_status = CaptureControl::armed;
    // The sub-second part of the latest time read.
    int32_t milliseconds = 0;
    int32_t microseconds = 0;
    uint32_t last_time_word = 0xFFFFFFFF;
    // The system clock (ns since the epoch) and the monotonic clock (us) when
    // the sub-second count of the last time read was read: the moment that the
    // broadcast time stands for.
    int64_t sub_second_read_ns = 0;
    int64_t sub_second_read_us = 0;
    // Moments of the unit's clock (pace_clock_us) after which the FPGA latched
    // what a read finds: the capture last armed or the JST flag last read clear.
    int64_t flag_clear_at = kNever;
    // The time word as last read (on every counted tick and by every time
    // read), the moment before that read, and the moment before the last read
    // that found another word: the word's latch came after that moment.
    uint32_t seen_word = 0;
    int64_t seen_at = kNever;
    int64_t seen_changed_after = kNever;
    // Why the last read of a time failed.
    const char* read_failure = nullptr;
};

extern TotCapture tot_capture;

// Arms the TOT capture (0xA014 with readback) and notes the moment: a time
// latched from then on is known to be no older than that.
void tot_arm_capture();
// Arms it for the step: tot_status armed.
void tot_capture_rearm();
// Stops it (0x0014 with readback): tot_status stopped.
void tot_capture_stop();

enum class JstFlag { raised, clear, unreadable };
// Reads the JST flag; a flag read clear notes the moment (a later latch is fresh).
JstFlag tot_capture_flag();

// Reads the broadcast time latched by the FPGA into the date and time given:
// nullptr with a take (date and time as plain integers of local time, the
// fraction in tot_capture), or the reason there is none. fresh: after the JST
// flag, the latch made since the capture was armed or the flag read clear, and
// the date given the last take's (see fpga_read_date); else any latch younger
// than the sub-second count's wrap (an alignment to the FPGA clock). A date
// word read before a failed time word stays in `date`.
const char* tot_capture_take(TotDate& date, TotTime& time, bool fresh);

// fresh_capture: the JST flag was found raised, so that a date word of 0 may
// be the day the 16-bit MJD wraps (2038-04-23), when the date given (the last
// take's) or the unit's clock stands near it.
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
