// Clock setting with /bin/date, the NTP daemon's start and stop, and the
// stratum of its reference: the local clock (ntpsec: its orphan stratum; with
// shm time delivery, the shared-memory clock) in ntp.conf, copied to where the
// daemon reads it, or chrony's own file of the unit. An installation names its daemon
// (ORV_NTP_DAEMON: ntpsec or chrony, else the init script of ntpd) and may name
// other commands and places (ORV_NTP_START, ORV_NTP_STOP, ORV_NTP_CONF_COPY,
// ORV_CHRONY_CONF). A daemon's start is a restart, so that a running daemon
// takes the configuration just written.
#include "tot/ntp_server.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/clock.h"
#include "os/deploy_settings.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/file_store.h"
#include "settings/system_file.h"
#include "tot/time_delivery.h"
#include "tot/tot_state.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>
#include <sys/stat.h>

NtpServerState ntp_server{0, 16, 0};

namespace {

constexpr const char* kNtpConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kNtpConfTarget = "/etc/";
constexpr const char* kChronyConf = "/etc/chrony/conf.d/orv-main.conf";
constexpr const char* kFudgeText = "fudge 127.127.1.0 stratum";
constexpr const char* kOrphanText = "tos orphan";
constexpr int kVariantStratum = 10;
// Strata that the daemons take for a local clock, and for a reference clock.
constexpr int kMinLocalStratum = 1;
constexpr int kMinReferenceStratum = 0;
constexpr int kMaxStratum = 15;
// The daemon's files under /etc: root's, read by all, whatever the source's mode.
constexpr FileAccess kEtcAccess{0644, 0};

struct NtpDaemon {
    const char* name;
    const char* start;
    const char* stop;
};
constexpr NtpDaemon kInitScript{"", "sudo /etc/init.d/ntp start", "sudo /etc/init.d/ntp stop"};
constexpr NtpDaemon kNtpsec{"ntpsec", "systemctl restart ntpsec.service",
                            "systemctl stop ntpsec.service"};
constexpr NtpDaemon kChrony{"chrony", "systemctl restart chrony.service",
                            "systemctl stop chrony.service"};

// The daemon that ORV_NTP_DAEMON names; the init script when it names none.
const NtpDaemon& ntp_daemon() {
    const std::string name = deploy_setting("ORV_NTP_DAEMON");
    for (const NtpDaemon* daemon : {&kNtpsec, &kChrony})
        if (name == daemon->name) return *daemon;
    return kInitScript;
}

// Runs the daemon's command and records what was asked of it.
void control_daemon(int running, const std::string& command, const char* log_line) {
    ntp_server.running = running;
    run_command(command);
    std::printf("CMD > %s\n", command.c_str());
    LogPrint(LOG_TO_BOTH, 6, "%s", log_line);
}

bool conf_mentions(const char* text) {
    std::string conf;
    return read_whole_file(kNtpConf, conf) && conf.find(text) != std::string::npos;
}

// The local clock's stratum edited in place; a configuration without the fudge
// line is left as it is. 0, or -1 (logged).
int edit_local_stratum(int stratum) {
    const std::string conf = shell_quote(kNtpConf);
    const int status =
        run_command(format_command("grep -l '%s' %s | xargs sed -i -e 's/%s.*/%s %d/g'", kFudgeText,
                                   conf.c_str(), kFudgeText, kFudgeText, stratum));
    if (status == 0 || !conf_mentions(kFudgeText)) return 0;
    LogPrint(LOG_TO_BOTH, 3, "Cannot edit %s: status %d\n", kNtpConf, status);
    return -1;
}

// The daemon's reference clocks make way for the unit's lines: a local clock
// or another shared-memory clock left beside them would go on claiming
// synchronisation when the broadcast is lost. 0, or -1 (logged).
int replace_reference_clocks(const std::string& lines) {
    std::string old_text;
    struct stat st {};
    if (!read_whole_file(kNtpConf, old_text) || unit_stat(kNtpConf, &st) != 0) {
        LogPrint(LOG_TO_BOTH, 3, "%s cannot be read\n", kNtpConf);
        return -1;
    }
    std::string text;
    std::istringstream in(old_text);
    for (std::string line; std::getline(in, line);)
        if (line.find("127.127.1.0") == std::string::npos &&
            line.find("127.127.28.") == std::string::npos && !line.starts_with(kOrphanText))
            text += line + '\n';
    return WriteFileReported(kNtpConf, text + lines, FileAccess{st.st_mode & 07777, kKeepGroup});
}

// The working ntp.conf, then its copy where the daemon reads it. ntpsec has no
// local clock that it serves: without shared memory it serves its own clock
// as an orphan, at once. With shared memory, it serves its own clock as an
// orphan at the holdover's stratum until the segment's clock holds a few
// samples, which a single one leaves with a root dispersion of 8 s.
int write_ntp_conf(bool shm, bool ntpsec, int stratum) {
    const std::string orphan =
        format_command("%s %d orphanwait 1\n", kOrphanText,
                       shm ? std::min(stratum + 1 + kHoldoverStrata, kMaxStratum) : stratum);
    const int written = shm      ? replace_reference_clocks(shm_refclock_lines(stratum) + orphan)
                        : ntpsec ? replace_reference_clocks(orphan)
                                 : edit_local_stratum(stratum);
    if (written != 0) return -1;
    const int copied =
        CopyFileReported(kNtpConf, deploy_setting("ORV_NTP_CONF_COPY", kNtpConfTarget).c_str());
    run_command("sync");
    return copied;
}

std::string chrony_conf() {
    return deploy_setting("ORV_CHRONY_CONF", kChronyConf);
}

// chrony: the unit's own file among its configuration files, written whole.
int write_chrony_conf(bool shm, int stratum) {
    std::string text = "# Broadcast time (TOT) from orv-main, served to every client.\n";
    text += shm ? format_command("refclock SHM %d refid TOT poll 2 filter 1 stratum %d\n",
                                 shm_delivery_unit(), stratum)
                : format_command("local stratum %d\n", stratum);
    text += "allow\n";
    return WriteFileReported(chrony_conf().c_str(), text, kEtcAccess, DirSync::yes);
}

// The configuration for the stratum asked for, raised for the holdover: ntpd's
// local clock or reference clock serves one stratum above its own; chrony's
// local stratum and ntpsec's orphan stratum are those served.
// Returns the stratum written; a clamp is logged when the request is.
int write_stratum(bool requested) {
    const bool shm = time_delivery_shm();
    const NtpDaemon& daemon = ntp_daemon();
    const int wanted =
        !shm && &daemon != &kInitScript ? ntp_server.stratum + 1 : ntp_server.stratum;
    int written = std::clamp(wanted, shm ? kMinReferenceStratum : kMinLocalStratum, kMaxStratum);
    if (written != wanted && requested)
        LogPrint(LOG_TO_BOTH, 3, "NTP stratum %d out of range, %d written\n", wanted, written);
    if (ntp_server.raised) written = std::min(written + kHoldoverStrata, kMaxStratum);
    const int result = &daemon == &kChrony ? write_chrony_conf(shm, written)
                                           : write_ntp_conf(shm, &daemon == &kNtpsec, written);
    ntp_server.written = result == 0;
    return written;
}

} // namespace

// The command is given the time carried forward by its own start-up
// (clock_command_time_us), in local time as the date and time are.
int set_system_time(int year, int month, int day, int hour, int minute, int second, int adjust) {
    const int64_t seconds = local_calendar_time(year, month, day, hour, minute, second);
    int64_t fraction_us = int64_t(tot_state.milliseconds) * 1000 + tot_state.microseconds;
    const int64_t time_us = seconds * 1000000 + fraction_us;
    tm given{};
    given.tm_year = year - 1900, given.tm_mon = month - 1, given.tm_mday = day;
    given.tm_hour = hour, given.tm_min = minute, given.tm_sec = second;
    if (const int64_t given_us = clock_command_time_us(time_us);
        seconds != -1 && given_us != time_us) {
        const time_t given_s = time_t(given_us / 1000000);
        localtime_r(&given_s, &given);
        fraction_us = given_us % 1000000;
    }
    const std::string command =
        format_command("/bin/date -s \"%d/%d/%d %02d:%02d:%02d.%03d%03d\"", given.tm_year + 1900,
                       given.tm_mon + 1, given.tm_mday, given.tm_hour, given.tm_min, given.tm_sec,
                       int(fraction_us / 1000), int(fraction_us % 1000));
    std::printf(adjust ? "FPGA time adjust > %s\n" : "CMD > %s\n", command.c_str());
    return run_clock_command(command, time_us, tot_state.sub_second_read_us);
}

void ntp_server_report_settings() {
    if (const std::string name = deploy_setting("ORV_NTP_DAEMON");
        !name.empty() && &ntp_daemon() == &kInitScript)
        LogPrint(LOG_TO_BOTH, 3, "ORV_NTP_DAEMON \"%s\" is unknown: %s\n", LogEscaped(name).c_str(),
                 kInitScript.start);
    time_delivery_report();
}

std::string ntp_daemon_conf() {
    return &ntp_daemon() == &kChrony ? chrony_conf() : kNtpConf;
}

void ntp_server_start() {
    control_daemon(1, deploy_setting("ORV_NTP_START", ntp_daemon().start),
                   "Start TOT Time Server\n");
}

void ntp_server_stop() {
    control_daemon(0, deploy_setting("ORV_NTP_STOP", ntp_daemon().stop), "Stop TOT Time Server\n");
}

// The current stratum keeps the requested value, so that an out-of-range
// request is reported once and not rewritten on every tune. Its start value 16
// is no stratum that was written: the first request is always written, so that
// a request of 16 is clamped like any other. A write that failed is tried
// again at the next request. chrony's local stratum is the one it serves, one
// above the local clock's of ntpd.
int set_ntp_stratum(int stratum) {
    const int target = variant_bit_set() ? kVariantStratum : stratum;
    if (target == ntp_server.stratum && ntp_server.written) return 0;
    std::printf("set_ntp_stratum %d => %d\n", ntp_server.stratum, target);
    ntp_server.stratum = target;
    write_stratum(true);
    return 0;
}

void ntp_server_holdover(bool free_running) {
    const int raised = free_running && !time_delivery_shm();
    if (raised == ntp_server.raised) return;
    ntp_server.raised = raised;
    const int written = write_stratum(false);
    if (!ntp_server.running) return;
    // A stop first: the init script's start leaves a running ntpd as it was.
    for (const std::string& command : {deploy_setting("ORV_NTP_STOP", ntp_daemon().stop),
                                       deploy_setting("ORV_NTP_START", ntp_daemon().start)}) {
        run_command(command);
        std::printf("CMD > %s\n", command.c_str());
    }
    LogPrint(LOG_TO_BOTH, 6, "NTP daemon restarted at stratum %d: holdover %s\n", written,
             raised ? "begun" : "over");
}
