// The FPGA's TOT capture: the capture control armed and stopped, the JST flag
// read, and the date, time and sub-second words read, checked and decoded (the
// MJD and its 16-bit cycle, the BCD time of day, the carry of the sub-second
// count, the latch's age) into one take of broadcast time or a named reason.
#include "tot/tot_capture.h"

#include "board/spi_regs.h"
#include "os/clock.h"
#include "os/pace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

TotCapture tot_capture;

namespace {

constexpr uint32_t kJstFlag = 0x10000;
constexpr uint32_t kNoTimeWord = 0x14000000;

// The broadcast carries the MJD in 16 bits, which run out on 2038-04-22 (MJD
// 65535) and start again at 0. A date word that gives a date before 2000 is
// one of the next cycle: valid until 2179.
constexpr uint32_t kMjdOf2000 = 51544;
constexpr uint32_t kMjdCycle = 65536;
constexpr int kFirstYear = 2000;
constexpr int kLastYear = 2179;
// The day of MJD 65536, whose 16-bit date word reads 0 as "no date" does:
// 2038-04-23 00:00 JST, with the week either side in which a word of 0 from a
// fresh capture is taken for it.
constexpr uint32_t kMjdZeroDay = kMjdCycle;
constexpr time_t kMjdZeroDayStart = 2155561200;
constexpr time_t kMjdZeroNear = 7 * 86400;

// How old a latch may be for its sub-second count to be trusted: 4.096 s, when
// the 12 bits of milliseconds wrap, less a margin for the two clocks' rates.
constexpr int64_t kLatchAgeLimitUs = 4000000;

// Two BCD digits no greater than the limit (itself written in BCD).
bool bcd_field_valid(uint32_t field, uint32_t limit) {
    return (field & 0x0F) <= 9 && (field >> 4) <= 9 && field <= limit;
}

// Hour, minute and second in BCD, a time of day.
bool time_word_valid(uint32_t word) {
    return bcd_field_valid((word >> 16) & 0xFF, 0x23) &&
           bcd_field_valid((word >> 8) & 0xFF, 0x59) && bcd_field_valid(word & 0xFF, 0x59);
}

// Notes the time word read at the moment; returns the moment after which it
// was latched, as far as the reads tell.
int64_t note_time_word(uint32_t word, int64_t read_at) {
    if (word != tot_capture.seen_word) {
        tot_capture.seen_changed_after = tot_capture.seen_at;
        tot_capture.seen_word = word;
    }
    tot_capture.seen_at = read_at;
    return tot_capture.seen_changed_after;
}

// One read of the time word, then of the sub-second word, with the moments
// around the latter on the system and the monotonic clock.
struct TimeRead {
    int64_t read_at = 0; // the pace clock before the time word
    uint32_t word = 0;
    uint32_t sub_second = 0;
    bool failed = false;
    int64_t before_ns = 0, after_ns = 0;
    int64_t before_us = 0, after_us = 0;
};

// The sub-second count is known to have been read at some moment between the
// two readings of the clocks, and is taken for their midpoint: a read that
// the thread's preemption or a starved machine drew out (a read on the bus
// takes well under a millisecond) places it only to within half its length.
// Such a read is made again, the time word with it, a few times at most, and
// the quickest kept.
constexpr int64_t kQuickReadUs = 2000;
constexpr int kTimeReads = 3;

TimeRead read_time_words() {
    TimeRead best;
    for (int attempt = 0; attempt < kTimeReads; ++attempt) {
        TimeRead read;
        read.read_at = pace_clock_us();
        const int time_read = SpiRead32(kRegTotTime, &read.word);
        read.before_ns = system_clock_ns();
        read.before_us = monotonic_us();
        const int sub_second_read = SpiRead32(kRegTotSubSecond, &read.sub_second);
        read.after_ns = system_clock_ns();
        read.after_us = monotonic_us();
        read.failed = time_read != 0 || sub_second_read != 0;
        if (read.failed) return read;
        if (attempt == 0 || read.after_us - read.before_us < best.after_us - best.before_us)
            best = read;
        if (best.after_us - best.before_us <= kQuickReadUs) break;
    }
    return best;
}

bool near_mjd_zero_day(time_t t) {
    return t >= kMjdZeroDayStart - kMjdZeroNear && t < kMjdZeroDayStart + 86400 + kMjdZeroNear;
}

// A date word of 0 on a fresh capture (the JST flag raised and a time of day
// in the time word) is 2038-04-23 when the unit's clock or its last take
// stands near that day; anywhere else it is no date.
bool date_word_zero_is_mjd_zero_day(const TotDate& last) {
    uint32_t word = 0;
    if (SpiRead32(kRegTotTime, &word) != 0 || word == kNoTimeWord || !time_word_valid(word))
        return false;
    return near_mjd_zero_day(std::time(nullptr)) ||
           (last.year != 0 &&
            near_mjd_zero_day(local_calendar_time(last.year, last.month, last.day, 12, 0, 0)));
}

// The reason for a broadcast time before the floor, naming both (local time).
const char* early_date_reason(const TotDate& date, const TotTime& time) {
    static char text[96];
    const time_t floor = clock_floor();
    tm f{};
    localtime_r(&floor, &f);
    std::snprintf(text, sizeof text,
                  "implausible date %d/%02d/%02d %02d:%02d:%02d, before the build date "
                  "%d/%02d/%02d %02d:%02d:%02d",
                  date.year, date.month, date.day, bcd_to_int(time.hour), bcd_to_int(time.minute),
                  bcd_to_int(time.second), f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour,
                  f.tm_min, f.tm_sec);
    return text;
}

} // namespace

void tot_arm_capture() {
    const int64_t armed_at = pace_clock_us();
    if (SpiWrite32(kRegTotCaptureControl, kTotCaptureArm, 1) == 0)
        tot_capture.flag_clear_at = armed_at;
}

void tot_capture_rearm() {
    tot_arm_capture();
    tot_capture.tot_status = CaptureControl::armed;
}

void tot_capture_stop() {
    tot_capture.tot_status = CaptureControl::stopped;
    SpiWrite32(kRegTotCaptureControl, kTotCaptureStop, 1);
}

JstFlag tot_capture_flag() {
    const int64_t read_at = pace_clock_us();
    uint32_t flags = 0;
    if (SpiRead32(kRegTotCaptureStatus, &flags) != 0) return JstFlag::unreadable;
    if (flags & kJstFlag) return JstFlag::raised;
    tot_capture.flag_clear_at = read_at;
    return JstFlag::clear;
}

const char* tot_capture_take(TotDate& date, TotTime& time, bool fresh) {
    const int64_t latch_after = fresh ? tot_capture.flag_clear_at : kNever;
    if (fpga_read_date(date, fresh) != 0 || fpga_read_time(time, latch_after, fresh) != 0 ||
        tot_normalize_time(date, time) != 0)
        return tot_capture.read_failure;
    return nullptr;
}

int fpga_read_date(TotDate& date, bool fresh_capture) {
    uint32_t mjd = 0;
    tot_capture.read_failure = "FPGA not answering";
    if (SpiRead32(kRegTotDate, &mjd) != 0) return -1;
    tot_capture.read_failure =
        mjd == kFpgaSilentWord ? "FPGA reading all ones" : "implausible date";
    if (mjd == 0 && fresh_capture && date_word_zero_is_mjd_zero_day(date)) mjd = kMjdZeroDay;
    return mjd_to_date(mjd, date);
}

// Whether the sub-second word holds the part of the second captured with the
// TOT or a count that runs on from the latch is the FPGA's affair. A count
// wraps 4.096 s after the latch, and a time read later would set the clock
// whole multiples of 4.096 s behind. So a time is read only while the unit can
// vouch, on its own monotonic clock, that the latch is younger than that: the
// latch came after `latch_after`, and the read must end less than
// kLatchAgeLimitUs later. The moments it knows:
// - the JST flag rises with a latch made while the capture is armed, so for a
//   take the latch came after the capture was armed or the flag last read clear;
// - a time word other than the one read before was latched after that read;
//   the word is read on every counted tick, so that an FPGA whose word runs
//   between TOTs can be aligned to at any tick.
// A time word of 0 is no time, except on a fresh capture (the JST flag raised):
// there it is midnight, 00:00:00 in BCD.
// An older latch is a failed read; the failure rhythm stops the capture and
// re-arms it, and the next latch is fresh.
int fpga_read_time(TotTime& time, int64_t latch_after, bool fresh_capture) {
    const TimeRead read = read_time_words();
    const int64_t read_end = pace_clock_us();
    tot_capture.read_failure = "FPGA not answering";
    if (read.failed) return -1;
    const uint32_t word = read.word;
    const uint32_t sub_second = read.sub_second;
    latch_after = std::max(latch_after, note_time_word(word, read.read_at));
    tot_capture.read_failure = "no time latched";
    if ((word == 0 && !fresh_capture) || sub_second == 0 || word == kNoTimeWord) return -1;
    tot_capture.read_failure = "time word frozen";
    if (word == tot_capture.last_time_word) return -1;
    tot_capture.read_failure =
        word == kFpgaSilentWord ? "FPGA reading all ones" : "invalid time word";
    if (!time_word_valid(word)) return -1;
    tot_capture.read_failure = "latch too old";
    if (read_end - latch_after >= kLatchAgeLimitUs) return -1;
    time.extra = uint8_t(word >> 24);
    time.hour = uint8_t(word >> 16);
    time.minute = uint8_t(word >> 8);
    time.second = uint8_t(word);
    tot_capture.milliseconds = int32_t((sub_second >> 16) & 0xFFF);
    tot_capture.microseconds = int32_t(sub_second & 0xFFF);
    tot_capture.last_time_word = word;
    tot_capture.sub_second_read_ns = read.before_ns + (read.after_ns - read.before_ns) / 2;
    tot_capture.sub_second_read_us = read.before_us + (read.after_us - read.before_us) / 2;
    return 0;
}

void watch_time_word() {
    const int64_t read_at = pace_clock_us();
    uint32_t word = 0;
    if (SpiRead32(kRegTotTime, &word) == 0) note_time_word(word, read_at);
}

// Julian day to Gregorian date after Meeus, in double precision. MJD 0 is no
// date; so is a date outside 2000 to 2179 once the 16-bit cycle is allowed for.
int mjd_to_date(uint32_t mjd, TotDate& date) {
    if (mjd == 0) return -1;
    const double j = double(mjd) + (mjd < kMjdOf2000 ? kMjdCycle : 0) + 2400000.5;
    const double z = std::floor(j + 0.5);
    const double f = j + 0.5 - z;
    double a = z;
    if (z >= 2299161) {
        const double alpha = std::floor((z - 1867216.25) / 36524.25);
        a = z + 1 + alpha - std::floor(alpha / 4);
    }
    const double b = a + 1524;
    const double k = std::floor((b - 122.1) / 365.25);
    const double d = b - std::floor(365.25 * k);
    const double e = std::floor(d / 30.6001);
    const double month = e < 13.5 ? e - 1 : e - 13;
    const double year = month > 2.5 ? k - 4716 : k - 4715;
    if (year < kFirstYear || year > kLastYear) return -1;
    date.day = int32_t(d - std::floor(30.6001 * e) + f);
    date.month = int32_t(month);
    date.year = int32_t(year);
    return 0;
}

int bcd_to_int(uint8_t value) {
    return value / 16 * 10 + value % 16;
}

int tot_normalize_time(TotDate& date, TotTime& time) {
    tot_capture.read_failure = "implausible date";
    time_t seconds = local_calendar_time(date.year, date.month, date.day, bcd_to_int(time.hour),
                                         bcd_to_int(time.minute), bcd_to_int(time.second));
    if (seconds == time_t(-1)) return -1;
    if (seconds < clock_floor()) {
        tot_capture.read_failure = early_date_reason(date, time);
        return -1;
    }

    int32_t total = tot_capture.milliseconds * 1000 + tot_capture.microseconds;
    if (total > 999999) {
        seconds += total / 1000000;
        total %= 1000000;
    }
    tot_capture.milliseconds = total / 1000;
    tot_capture.microseconds = total % 1000;

    tm broken{};
    if (!localtime_r(&seconds, &broken)) return -1;
    date.year = broken.tm_year + 1900;
    date.month = broken.tm_mon + 1;
    date.day = broken.tm_mday;
    time.hour = uint8_t(broken.tm_hour);
    time.minute = uint8_t(broken.tm_min);
    time.second = uint8_t(broken.tm_sec);
    return 0;
}
