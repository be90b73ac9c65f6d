// The per-tick TOT step: statistics, capture re-arm, taking broadcast time from
// the FPGA and handing it to the system, the lock, JST-flag and failure
// rhythms, the status file, the network-init switch and the GPIO indication.
#include "tot/tot_step.h"

#include "board/spi_regs.h"
#include "log/status_log.h"
#include "os/clock.h"
#include "os/pace.h"
#include "os/shell.h"
#include "settings/system_file.h"
#include "tot/holdover.h"
#include "tot/ntp_server.h"
#include "tot/reception.h"
#include "tot/take_check.h"
#include "tot/take_counters.h"
#include "tot/time_delivery.h"
#include "tot/tot_state.h"
#include "tot/tot_tuning.h"
#include "tuner/tuner_control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

std::mutex tot_mutex;
TotState tot_state;

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

constexpr int kStatusErrorLimit = 9; // restart on the tenth failure in a row
constexpr int kRearmTicks = 2;       // ticks waited before re-arming the capture
constexpr int kAdjustPeriod = 5;     // align to the FPGA clock every fifth tick
constexpr int kRetuneLimit = 59;     // retune on the sixtieth unlocked tick
constexpr int kJstTimeout = 600;     // restart after this many locked ticks without the flag
constexpr int kJstRecapturePeriod = 30;
constexpr int kReadFailureLimit = 2; // indicate failure from the third failed read
constexpr int kTakeTimeout = 60;     // ticks without a time before the failure line
constexpr int kSwitchHeldLimit = 3;  // ticks of a held switch before ending

constexpr const char* kStatusFileFormat = "/var/kelvatro/conf/Status_%02X_%02X.txt";

void capture_control(uint32_t value) {
    SpiWrite32(kRegTotCaptureControl, value, 1);
}

void capture_stop() {
    tot_state.tot_status = 1;
    capture_control(kTotCaptureStop);
}

void capture_arm() {
    tot_arm_capture();
    tot_state.tot_status = 0;
    tot_state.rearm_wait = 0;
}

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
    if (word != tot_state.seen_word) {
        tot_state.seen_changed_after = tot_state.seen_at;
        tot_state.seen_word = word;
    }
    tot_state.seen_at = read_at;
    return tot_state.seen_changed_after;
}

bool near_mjd_zero_day(time_t t) {
    return t >= kMjdZeroDayStart - kMjdZeroNear && t < kMjdZeroDayStart + 86400 + kMjdZeroNear;
}

// A date word of 0 on a fresh capture (the JST flag raised and a time of day
// in the time word) is 2038-04-23 when the unit's clock or its last take
// stands near that day; anywhere else it is no date.
bool date_word_zero_is_mjd_zero_day() {
    uint32_t word = 0;
    if (SpiRead32(kRegTotTime, &word) != 0 || word == kNoTimeWord || !time_word_valid(word))
        return false;
    const TotDate& last = tot_state.last_date;
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

void read_statistics(TotStatus& status) {
    TunerReading reading{};
    if (tuner_get_status(reading) < 0) {
        LogRepeated(tot_state.tuner_silent, 3, "Tuner not answering: status read failed\n");
        ++tot_state.status_errors;
        std::printf("<ERROR> SMS_GET_STATUS_ERROR !! [%d]\n", tot_state.status_errors);
        if (tot_state.status_errors > kStatusErrorLimit) {
            tot_tuner_restart(0);
            tot_state.status_errors = 0;
        }
    } else {
        LogRepeatEnd(tot_state.tuner_silent);
        reception_note(reading, status.settings.Set_TOT_CH_NUM);
        tot_state.status_errors = 0;
        status.level = reading.level;
        status.snr = reading.snr;
        status.ber_a = reading.ber_a;
        status.ber_b = reading.ber_b;
        status.ber = reading.ber;
        status.lock = reading.lock;
    }
}

// True when the tick is counted (goes on to the lock branch). The tick after a
// tune re-arms the capture in any case: a tune may take seconds, and a time
// latched before it could not be taken (see fpga_read_time).
bool rearm_capture() {
    if (tuner_context.tune_requested) {
        capture_arm();
        return true;
    }
    if (tot_state.tot_status != 1) return true;
    if (++tot_state.rearm_wait > kRearmTicks) capture_arm();
    return false;
}

void on_unlocked() {
    tot_state.miss_reason = "no lock";
    ++tot_state.unlocked_count;
    tot_state.indication_wanted = kIndicationUnlocked;
    if (tot_state.unlocked_count % kAdjustPeriod == 0) fpga_time_adjust();
    if (tot_state.unlocked_count > kRetuneLimit) {
        std::puts("Retuning");
        tuner_tune(tuner_context.frequency);
        tot_state.unlocked_count = 0;
    }
}

void take_time(const TotStatus& status) {
    TotDate& date = tot_state.last_date;
    TotTime& time = tot_state.last_time;
    const TotDate date_before = date;
    const TotTime time_before = time;
    if (fpga_read_date(date, true) != 0 ||
        fpga_read_time(time, tot_state.flag_clear_at, true) != 0 ||
        tot_normalize_time(date, time) != 0) {
        tot_state.miss_reason = tot_state.read_failure;
        ++take_counters.failures[take_failure_kind(tot_state.read_failure)];
        if (++tot_state.read_failures > kReadFailureLimit) {
            tot_state.indication_wanted = kIndicationFailing;
            capture_stop();
        }
        return;
    }
    if (!take_believed(date, time)) { // the last time taken stays
        date = date_before;
        time = time_before;
        capture_stop();
        return;
    }
    deliver_broadcast_time(date, time, 0);
    ++take_counters.takes;
    tot_state.taken_at_s = system_clock_ns() / 1000000000;
    tot_state.indication_wanted = kIndicationTaken;
    tot_state.read_failures = 0;
    tot_state.ticks_since_tot = 0;
    capture_stop();
    if (tot_state.miss_logged)
        LogPrint(LOG_TO_BOTH, 6, "TOT taken again after %lld s without\n",
                 static_cast<long long>(holdover.seconds_since_take));
    tot_state.miss_logged = nullptr;
    holdover_take();
    if (!ntp_server.running) ntp_server_start();
    if (tot_state.failure_logged == 1) {
        tot_state.failure_logged = 0;
        tot_log_result(status, 0);
    }
}

void on_locked(const TotStatus& status) {
    tot_state.unlocked_count = 0;
    const int64_t read_at = pace_clock_us();
    uint32_t flags = 0;
    const bool flags_read = SpiRead32(kRegTotCaptureStatus, &flags) == 0;
    if (flags & kJstFlag) {
        tot_state.jst_wait = 0;
        take_time(status);
        return;
    }
    // A flag missing between two TOTs is no reason; missing for longer, it is.
    if (!flags_read)
        tot_state.miss_reason = "FPGA not answering";
    else if (tot_state.jst_wait + 1 >= kJstRecapturePeriod)
        tot_state.miss_reason = "no JST flag";
    if (flags_read) tot_state.flag_clear_at = read_at;
    ++tot_state.jst_wait;
    if (tot_state.jst_wait >= kJstTimeout) {
        std::puts("<ERROR> JST FLAG TIMEOUT !!");
        tot_tuner_restart(1);
        tot_state.jst_wait = 0;
    } else if (tot_state.jst_wait % kJstRecapturePeriod == 0) {
        capture_stop();
    } else if (tot_state.jst_wait % kAdjustPeriod == 0) {
        fpga_time_adjust();
    }
}

// A status file that cannot be written is logged once a run of failed ticks.
LogRepeat status_file_failing;

void write_status_file(const TotStatus& status) {
    char path[64];
    std::snprintf(path, sizeof path, kStatusFileFormat, kTotBoard, kTotSub);
    if (tot_write_status(path, status) != 0)
        LogRepeated(status_file_failing, 3, "ステータスファイル保存に失敗しました。\n");
    else
        LogRepeatEnd(status_file_failing);
}

// One line for each reason that keeps the unit from a take for a minute.
void log_missed_takes() {
    const char* reason = tot_state.miss_reason;
    const char* logged = tot_state.miss_logged;
    if (holdover.seconds_since_take <= kTakeTimeout || !reason ||
        (logged && !std::strcmp(reason, logged)))
        return;
    LogPrint(LOG_TO_BOTH, 3, "No TOT taken for %lld s: %s\n",
             static_cast<long long>(holdover.seconds_since_take), reason);
    tot_state.miss_logged = tot_state.miss_reason;
}

void close_tick(const TotStatus& status) {
    log_missed_takes();
    if (tot_state.ticks_since_tot > kTakeTimeout) {
        if (ntp_server.running && tot_state.failure_logged != 1) {
            tot_log_result(status, 1);
            tot_state.failure_logged = 1;
        }
        tot_state.ticks_since_tot = 0;
    }
    holdover_check();
    write_status_file(status);
    tuner_context.tune_requested = 0;
    if (!variant_bit_set()) check_end_switch();
    if (tot_state.indication_wanted != tot_state.indication_written) {
        tot_state.indication_written = tot_state.indication_wanted;
        SpiWrite32(kRegGpioOutput, tot_state.indication_written, 1);
    }
}

} // namespace

void tot_state_reset() {
    tot_state = TotState{};
}

void tot_arm_capture() {
    const int64_t armed_at = pace_clock_us();
    if (SpiWrite32(kRegTotCaptureControl, kTotCaptureArm, 1) == 0)
        tot_state.flag_clear_at = armed_at;
}

int tot_step(TotSettings& settings, TotStatus& status) {
    status.settings = settings;
    status.level = 0;
    status.snr = 0;
    status.lock = 0;
    status.ber_a = status.ber_b = status.ber = 100000;

    holdover_count();
    read_statistics(status);
    if (rearm_capture()) {
        watch_time_word();
        ++tot_state.ticks_since_tot;
        if (status.lock != 1)
            on_unlocked();
        else
            on_locked(status);
    }
    close_tick(status);
    return 0;
}

int fpga_read_date(TotDate& date, bool fresh_capture) {
    uint32_t mjd = 0;
    tot_state.read_failure = "FPGA not answering";
    if (SpiRead32(kRegTotDate, &mjd) != 0) return -1;
    tot_state.read_failure = mjd == kFpgaSilentWord ? "FPGA reading all ones" : "implausible date";
    if (mjd == 0 && fresh_capture && date_word_zero_is_mjd_zero_day()) mjd = kMjdZeroDay;
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
    const int64_t read_at = pace_clock_us();
    uint32_t word = 0;
    uint32_t sub_second = 0;
    const int time_read = SpiRead32(kRegTotTime, &word);
    const int64_t sub_second_before = system_clock_ns();
    const int64_t sub_second_before_us = monotonic_us();
    const int sub_second_read = SpiRead32(kRegTotSubSecond, &sub_second);
    const int64_t sub_second_after = system_clock_ns();
    const int64_t sub_second_after_us = monotonic_us();
    const int64_t read_end = pace_clock_us();
    tot_state.read_failure = "FPGA not answering";
    if (time_read != 0 || sub_second_read != 0) return -1;
    latch_after = std::max(latch_after, note_time_word(word, read_at));
    tot_state.read_failure = "no time latched";
    if ((word == 0 && !fresh_capture) || sub_second == 0 || word == kNoTimeWord) return -1;
    tot_state.read_failure = "time word frozen";
    if (word == tot_state.last_time_word) return -1;
    tot_state.read_failure =
        word == kFpgaSilentWord ? "FPGA reading all ones" : "invalid time word";
    if (!time_word_valid(word)) return -1;
    tot_state.read_failure = "latch too old";
    if (read_end - latch_after >= kLatchAgeLimitUs) return -1;
    time.extra = uint8_t(word >> 24);
    time.hour = uint8_t(word >> 16);
    time.minute = uint8_t(word >> 8);
    time.second = uint8_t(word);
    tot_state.milliseconds = int32_t((sub_second >> 16) & 0xFFF);
    tot_state.microseconds = int32_t(sub_second & 0xFFF);
    tot_state.last_time_word = word;
    tot_state.sub_second_read_ns = sub_second_before + (sub_second_after - sub_second_before) / 2;
    tot_state.sub_second_read_us =
        sub_second_before_us + (sub_second_after_us - sub_second_before_us) / 2;
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
    tot_state.read_failure = "implausible date";
    time_t seconds = local_calendar_time(date.year, date.month, date.day, bcd_to_int(time.hour),
                                         bcd_to_int(time.minute), bcd_to_int(time.second));
    if (seconds == time_t(-1)) return -1;
    if (seconds < clock_floor()) {
        tot_state.read_failure = early_date_reason(date, time);
        return -1;
    }

    int32_t total = tot_state.milliseconds * 1000 + tot_state.microseconds;
    if (total > 999999) {
        seconds += total / 1000000;
        total %= 1000000;
    }
    tot_state.milliseconds = total / 1000;
    tot_state.microseconds = total % 1000;

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

void fpga_time_adjust() {
    if (!ntp_server.running) return;
    TotDate& date = tot_state.adjust_date;
    TotTime& time = tot_state.adjust_time;
    if (fpga_read_date(date) != 0 || fpga_read_time(time, kNever) != 0 ||
        tot_normalize_time(date, time) != 0)
        return;
    deliver_broadcast_time(date, time, 1);
}

// A failed read, or all ones from an FPGA that does not answer, is no reading
// of the switch: it counts as released, and a run of them is logged once.
void check_end_switch() {
    uint32_t input = 0;
    if (SpiRead32(kRegGpioInput, &input) != 0 || input == kFpgaSilentWord) {
        if (!tot_state.switch_unreadable)
            LogPrint(LOG_TO_BOTH, 3, "Network init switch read error (%08X)\n", input);
        tot_state.switch_unreadable = 1;
        tot_state.switch_count = 0;
        return;
    }
    tot_state.switch_unreadable = 0;
    if (!(input & kNetworkInitSwitch)) {
        tot_state.switch_count = 0;
        return;
    }
    if (++tot_state.switch_count <= kSwitchHeldLimit) {
        tot_state.indication_wanted = kIndicationFailing;
        return;
    }
    tot_state.indication_wanted = kIndicationEnding;
    if (tot_state.switch_count == kSwitchHeldLimit + 1)
        LogPrint(LOG_TO_BOTH, 3, "Network init switch held for %d s: ending the unit\n",
                 kSwitchHeldLimit);
    run_command("echo END > /var/kelvatro/maincontrol");
}

void tot_log_result(const TotStatus& status, int failed) {
    const char* lock = status.lock == 1 ? "OK" : "NG";
    const char* ber = status.lock == 0 ? "..." : status.ber > 1 ? "Warning" : "OK";
    const TotDate& d = tot_state.last_date;
    const TotTime& t = tot_state.last_time;
    LogPrint(LOG_TO_BOTH, failed ? 3 : 6,
             failed ? "Failed to get TOT ( Lock:%s / CH:UHF-%d / BER:%s / TOT:%d/%02d/%02d "
                      "%02d:%02d:%02d )\n"
                    : "TOT Updated ( Lock:%s / CH:UHF-%d / BER:%s / TOT:%d/%02d/%02d "
                      "%02d:%02d:%02d )\n",
             lock, status.settings.Set_TOT_CH_NUM, ber, d.year, d.month, d.day, t.hour, t.minute,
             t.second);
}
