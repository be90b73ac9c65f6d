// The choice of how broadcast time reaches the system, which the NTP daemon's
// control follows: the clock set with /bin/date, or, for shm delivery, the
// unit's segment claimed, the sample of a broadcast time and the step of the
// first take.
#include "tot/time_delivery.h"

#include "log/deploy_report.h"
#include "log/status_log.h"
#include "os/clock.h"
#include "os/shell.h"
#include "tot/holdover.h"
#include "tot/ntp_server.h"
#include "tot/ntp_shm.h"
#include "tot/tot_capture.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

static_assert(deploy_spec("ORV_SHM_UNIT").max == kNtpShmMaxUnit);

constexpr int64_t kNsPerSecond = 1000000000;
// The take that starts the daemon sets the clock when it is off by more: the
// daemon serves its own clock until it holds samples enough to steer it
// (chrony's local stratum), and slews a larger offset slowly.
constexpr int64_t kStepLimitNs = kNsPerSecond / 1000;

// What the deployment settings ask for: shm with its segment's unit, or step
// (unit -1) when they ask for it or their choice cannot be used.
struct Delivery {
    DeployValue mode;
    DeployValue unit;
};

Delivery delivery_setting() {
    Delivery d{deploy_value("ORV_TIME_DELIVERY"), {}};
    if (d.mode.text == "shm") d.unit = deploy_value("ORV_SHM_UNIT");
    return d;
}

// The broadcast time in ns since the epoch (the date and time are local time),
// or -1.
int64_t broadcast_ns(const TotDate& date, const TotTime& time) {
    const time_t seconds =
        local_calendar_time(date.year, date.month, date.day, time.hour, time.minute, time.second);
    if (seconds == time_t(-1)) return -1;
    const int64_t fraction_us = int64_t(tot_capture.milliseconds) * 1000 + tot_capture.microseconds;
    return int64_t(seconds) * kNsPerSecond + fraction_us * 1000;
}

void write_sample(int64_t clock_ns, int64_t receive_ns) {
    ntp_shm_write(shm_delivery_unit(),
                  {clock_ns / kNsPerSecond, uint32_t(clock_ns % kNsPerSecond),
                   receive_ns / kNsPerSecond, uint32_t(receive_ns % kNsPerSecond)});
}

} // namespace

// The command is given the time carried forward by its own start-up
// (clock_command_time_us), in local time as the date and time are.
int set_system_time(int year, int month, int day, int hour, int minute, int second, int adjust) {
    const int64_t seconds = local_calendar_time(year, month, day, hour, minute, second);
    int64_t fraction_us = int64_t(tot_capture.milliseconds) * 1000 + tot_capture.microseconds;
    const int64_t time_us = seconds * 1000000 + fraction_us;
    tm given{};
    given.tm_year = year - 1900, given.tm_mon = month - 1, given.tm_mday = day;
    given.tm_hour = hour, given.tm_min = minute, given.tm_sec = second;
    const int64_t given_us = seconds != -1 ? clock_command_time_us(time_us) : time_us;
    if (given_us != time_us) {
        const time_t given_s = time_t(given_us / 1000000);
        localtime_r(&given_s, &given);
        fraction_us = given_us % 1000000;
    }
    const std::string command =
        format_command("/bin/date -s \"%d/%d/%d %02d:%02d:%02d.%03d%03d\"", given.tm_year + 1900,
                       given.tm_mon + 1, given.tm_mday, given.tm_hour, given.tm_min, given.tm_sec,
                       int(fraction_us / 1000), int(fraction_us % 1000));
    std::printf(adjust ? "FPGA time adjust > %s\n" : "CMD > %s\n", command.c_str());
    return run_clock_command(command, given_us, time_us, tot_capture.sub_second_read_us);
}

int shm_delivery_unit() {
    const Delivery d = delivery_setting();
    return d.unit.row && d.unit.usable ? int(d.unit.number) : -1;
}

bool time_delivery_shm() {
    return shm_delivery_unit() >= 0;
}

int time_delivery_claim() {
    return time_delivery_shm() ? ntp_shm_claim(shm_delivery_unit()) : 0;
}

bool time_delivery_ready() {
    return !time_delivery_shm() || ntp_shm_claimed(shm_delivery_unit());
}

void time_delivery_report() {
    const Delivery d = delivery_setting();
    log_deploy_problem(d.mode, "time delivery step");
    if (d.unit.row) log_deploy_problem(d.unit, "time delivery step");
}

void time_delivery_log_mode() {
    const int unit = shm_delivery_unit();
    if (unit < 0)
        LogPrint(LOG_TO_BOTH, 6, "Time delivery: step, the clock set at every take\n");
    else
        LogPrint(LOG_TO_BOTH, 6, "Time delivery: shm, NTP shared-memory unit %d (key 0x%08X)\n",
                 unit, kNtpShmKeyBase + uint32_t(unit));
}

void deliver_broadcast_time(const TotDate& date, const TotTime& time, BroadcastTime kind) {
    const bool adjust = kind == BroadcastTime::alignment;
    if (!time_delivery_shm()) {
        set_system_time(date.year, date.month, date.day, time.hour, time.minute, time.second,
                        adjust);
        return;
    }
    // In a holdover the FPGA's clock runs free as well: no sample of broadcast time.
    const int64_t clock_ns = broadcast_ns(date, time);
    if (clock_ns < 0 || (adjust && holdover.serving)) return;
    const int64_t receive_ns = tot_capture.sub_second_read_ns;
    const bool starts_daemon = !adjust && !ntp_server.running;
    if (starts_daemon && std::llabs(clock_ns - receive_ns) > kStepLimitNs) {
        // The clock now shows the broadcast time: this take is the daemon's
        // first sample, read when the daemon starts right after it, so that
        // it has the samples it needs to serve a take sooner.
        set_system_time(date.year, date.month, date.day, time.hour, time.minute, time.second, 0);
        write_sample(clock_ns, clock_ns);
        return;
    }
    write_sample(clock_ns, receive_ns);
}

void time_delivery_reset() {
    ntp_shm_detach();
}
