// Clock setting with /bin/date, the NTP daemon's start and stop through its
// init script, and the stratum of its local-clock reference in ntp.conf (of
// its shared-memory reference with shm time delivery). An installation may
// name other daemon commands and another place for the configuration's copy
// (ORV_NTP_START, ORV_NTP_STOP, ORV_NTP_CONF_COPY).
#include "tot/ntp_server.h"

#include "log/status_log.h"
#include "os/deploy_settings.h"
#include "os/shell.h"
#include "settings/file_store.h"
#include "settings/system_file.h"
#include "tot/time_delivery.h"
#include "tot/tot_state.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

NtpServerState ntp_server{0, 16, 0};

namespace {

constexpr const char* kNtpConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kNtpConfTarget = "/etc/";
constexpr const char* kFudgeText = "fudge 127.127.1.0 stratum";
constexpr int kVariantStratum = 10;
// Strata that ntpd takes for its local clock, and for a reference clock.
constexpr int kMinLocalStratum = 1;
constexpr int kMinReferenceStratum = 0;
constexpr int kMaxStratum = 15;

// Runs the daemon's init script and records what was asked of it.
void control_daemon(int running, const std::string& command, const char* log_line) {
    ntp_server.running = running;
    run_command(command);
    std::printf("CMD > %s\n", command.c_str());
    LogPrint(LOG_TO_BOTH, 6, "%s", log_line);
}

} // namespace

int set_system_time(int year, int month, int day, int hour, int minute, int second, int adjust) {
    const std::string command =
        format_command("/bin/date -s \"%d/%d/%d %02d:%02d:%02d.%03d%03d\"", year, month, day, hour,
                       minute, second, tot_state.milliseconds, tot_state.microseconds);
    std::printf(adjust ? "FPGA time adjust > %s\n" : "CMD > %s\n", command.c_str());
    return run_command(command);
}

void ntp_server_start() {
    control_daemon(1, deploy_setting("ORV_NTP_START", "sudo /etc/init.d/ntp start"),
                   "Start TOT Time Server\n");
}

void ntp_server_stop() {
    control_daemon(0, deploy_setting("ORV_NTP_STOP", "sudo /etc/init.d/ntp stop"),
                   "Stop TOT Time Server\n");
}

// The current stratum keeps the requested value, so that an out-of-range
// request is reported once and not rewritten on every tune. Its start value 16
// is no stratum that was written: the first request is always written, so that
// a request of 16 is clamped like any other.
int set_ntp_stratum(int stratum) {
    const int target = variant_bit_set() ? kVariantStratum : stratum;
    if (target == ntp_server.stratum && ntp_server.written) return 0;
    std::printf("set_ntp_stratum %d => %d\n", ntp_server.stratum, target);
    ntp_server.stratum = target;
    ntp_server.written = 1;

    const bool shm = time_delivery_shm();
    const int written =
        std::clamp(target, shm ? kMinReferenceStratum : kMinLocalStratum, kMaxStratum);
    if (written != target)
        LogPrint(LOG_TO_BOTH, 3, "NTP stratum %d out of range, %d written\n", target, written);

    const std::string conf = shell_quote(kNtpConf);
    if (shm)
        write_shm_refclock_conf(kNtpConf, written);
    else
        run_command(format_command("grep -l '%s' %s | xargs sed -i -e 's/%s.*/%s %d/g'", kFudgeText,
                                   conf.c_str(), kFudgeText, kFudgeText, written));
    CopyFileReported(kNtpConf, deploy_setting("ORV_NTP_CONF_COPY", kNtpConfTarget).c_str());
    run_command("sync");
    return 0;
}
