// The per-tick TOT step: statistics, the capture's re-arm, what is done with a
// take of broadcast time (handed to the system, the daemon started), the lock,
// JST-flag and failure rhythms, the status file, the network-init switch and
// the GPIO indication. The FPGA's capture itself is tot_capture's.
#include "tot/tot_step.h"

#include "board/spi_regs.h"
#include "log/status_log.h"
#include "os/clock.h"
#include "os/shell.h"
#include "settings/system_file.h"
#include "tot/holdover.h"
#include "tot/ntp_server.h"
#include "tot/reception.h"
#include "tot/take_check.h"
#include "tot/take_counters.h"
#include "tot/time_delivery.h"
#include "tot/tot_capture.h"
#include "tot/tot_state.h"
#include "tot/tot_tuning.h"
#include "tuner/tuner_control.h"

#include <cstdio>
#include <cstring>

std::mutex tot_mutex;
TotState tot_state;

namespace {

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

void capture_arm() {
    tot_capture_rearm();
    tot_state.rearm_wait = 0;
}

void read_statistics(TotStatus& status) {
    TunerReading reading{};
    if (tuner_get_status(reading) < 0) {
        LogRepeated(tot_state.tuner_silent, 3, "Tuner not answering: status read failed\n");
        ++tot_state.status_errors;
        std::printf("<ERROR> SMS_GET_STATUS_ERROR !! [%d]\n", tot_state.status_errors);
        if (tot_state.status_errors > kStatusErrorLimit) {
            tot_tuner_restart(kRestartStatusFailures);
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
    if (tot_capture.tot_status != CaptureControl::stopped) return true;
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
    if (const char* failure = tot_capture_take(date, time, true)) {
        tot_state.miss_reason = failure;
        ++take_counters.failures[take_failure_kind(failure)];
        if (++tot_state.read_failures > kReadFailureLimit) {
            tot_state.indication_wanted = kIndicationFailing;
            tot_capture_stop();
        }
        return;
    }
    if (!take_believed(date, time)) { // the last time taken stays
        date = date_before;
        time = time_before;
        tot_capture_stop();
        return;
    }
    deliver_broadcast_time(date, time, BroadcastTime::take);
    ++take_counters.takes;
    tot_state.taken_at_s = system_clock_ns() / 1000000000;
    tot_state.indication_wanted = kIndicationTaken;
    tot_state.read_failures = 0;
    tot_state.ticks_since_tot = 0;
    tot_capture_stop();
    if (tot_state.miss_logged)
        LogPrint(LOG_TO_BOTH, 6, "TOT taken again after %lld s without\n",
                 static_cast<long long>(holdover.seconds_since_take));
    tot_state.miss_logged = nullptr;
    holdover_take();
    if (!ntp_server.running) ntp_server_start();
    if (tot_state.failure_logged) {
        tot_state.failure_logged = false;
        tot_log_result(status, TotResult::updated);
    }
}

void on_locked(const TotStatus& status) {
    tot_state.unlocked_count = 0;
    const JstFlag flag = tot_capture_flag();
    if (flag == JstFlag::raised) {
        tot_state.jst_wait = 0;
        take_time(status);
        return;
    }
    // A flag missing between two TOTs is no reason; missing for longer, it is.
    if (flag == JstFlag::unreadable)
        tot_state.miss_reason = "FPGA not answering";
    else if (tot_state.jst_wait + 1 >= kJstRecapturePeriod)
        tot_state.miss_reason = "no JST flag";
    ++tot_state.jst_wait;
    if (tot_state.jst_wait >= kJstTimeout) {
        std::puts("<ERROR> JST FLAG TIMEOUT !!");
        tot_tuner_restart(kRestartJstTimeout);
        tot_state.jst_wait = 0;
    } else if (tot_state.jst_wait % kJstRecapturePeriod == 0) {
        tot_capture_stop();
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
        if (ntp_server.running && !tot_state.failure_logged) {
            tot_log_result(status, TotResult::failed);
            tot_state.failure_logged = true;
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
    tot_capture = TotCapture{};
    take_check_reset();
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

void fpga_time_adjust() {
    if (!ntp_server.running) return;
    TotDate date{};
    TotTime time{};
    if (!tot_capture_take(date, time, false))
        deliver_broadcast_time(date, time, BroadcastTime::alignment);
}

// A failed read, or all ones from an FPGA that does not answer, is no reading
// of the switch: it counts as released, and a run of them is logged once.
void check_end_switch() {
    uint32_t input = 0;
    if (SpiRead32(kRegGpioInput, &input) != 0 || input == kFpgaSilentWord) {
        if (!tot_state.switch_unreadable)
            LogPrint(LOG_TO_BOTH, 3, "Network init switch read error (%08X)\n", input);
        tot_state.switch_unreadable = true;
        tot_state.switch_count = 0;
        return;
    }
    tot_state.switch_unreadable = false;
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

void tot_log_result(const TotStatus& status, TotResult result) {
    const bool failed = result == TotResult::failed;
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
