// The NTP daemon's start and stop, and the configuration it serves from,
// written for the delivery that time_delivery chooses: the local clock (ntpsec:
// its orphan stratum; with shm time delivery, the shared-memory clock) in
// ntp.conf, copied to where the daemon reads it when it holds only the lines of
// the factory file and the unit's own, or chrony's own file of the unit. An
// installation names its daemon (ORV_NTP_DAEMON: ntpsec or chrony, else the
// init script of ntpd) and may name other commands and places (ORV_NTP_START,
// ORV_NTP_STOP, ORV_NTP_CONF_COPY, ORV_CHRONY_CONF). A daemon's start is a
// restart, so that a running daemon takes the configuration just written.
#include "tot/ntp_server.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/deploy_settings.h"
#include "os/file_access.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/file_store.h"
#include "settings/system_file.h"
#include "tot/take_counters.h"
#include "tot/time_delivery.h"

#include <algorithm>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>

NtpServerState ntp_server{0, 16, 0};

namespace {

// The run of starts refused for want of the unit's own segment.
LogRepeat start_refused;

constexpr const char* kNtpConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kNtpConfTarget = "/etc/";
// The factory ntp.conf: the SD card's copy, which the package ships and the
// unit never writes.
constexpr const char* kFactoryNtpConf = "/usr/kelvatro/conf/ntp.conf";
constexpr const char* kChronyConf = "/etc/chrony/conf.d/orv-main.conf";
constexpr const char* kFudgeText = "fudge 127.127.1.0 stratum";
constexpr const char* kOrphanText = "tos orphan";
constexpr int kVariantStratum = 10;
// Strata that the daemons take for a local clock, and for a reference clock.
constexpr int kMinLocalStratum = 1;
constexpr int kMinReferenceStratum = 0;
constexpr int kMaxStratum = 15;
// The lines of ntp.conf that the unit writes itself.
const std::regex kOwnLine(R"(server 127\.127\.1\.0|fudge 127\.127\.1\.0 stratum \d{1,2})"
                          R"(|server 127\.127\.28\.\d{1,3} minpoll 1 maxpoll 1)"
                          R"(|fudge 127\.127\.28\.\d{1,3} refid TOT stratum \d{1,2})"
                          R"(|tos orphan \d{1,2} orphanwait 1( maxdisp 1)?)");

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

// Runs the daemon's command and records what was asked of it; the log line
// names an operator's reason.
void control_daemon(int running, const std::string& command, const char* what) {
    ntp_server.running = running;
    if (running) ++take_counters.daemon_starts;
    run_command(command);
    std::printf("CMD > %s\n", command.c_str());
    if (ntp_server.stop_reason)
        LogPrint(LOG_TO_BOTH, 6, "%s TOT Time Server (%s)\n", what, ntp_server.stop_reason);
    else
        LogPrint(LOG_TO_BOTH, 6, "%s TOT Time Server\n", what);
}

// A write of the configuration that failed is tried again at every tick: the
// first failure of a run is logged, and the write that succeeds with the count.
struct ConfFailures {
    LogRepeat run;
    unsigned long tries = 0;
};
ConfFailures conf_failures;

// The local clock's stratum edited in place. 0, or -1 (logged).
int edit_local_stratum(int stratum) {
    const std::string conf = shell_quote(kNtpConf);
    const int status =
        run_command(format_command("grep -l '%s' %s | xargs sed -i -e 's/%s.*/%s %d/g'", kFudgeText,
                                   conf.c_str(), kFudgeText, kFudgeText, stratum));
    if (status == 0) return 0;
    LogRepeated(conf_failures.run, 3, "Cannot edit %s: status %d\n", kNtpConf, status);
    return -1;
}

// The daemon's reference clocks make way for the unit's lines: a local clock
// or another shared-memory clock left beside them would go on claiming
// synchronisation when the broadcast is lost. 0, or -1 (logged).
int replace_reference_clocks(const std::string& lines) {
    std::string old_text;
    struct stat st {};
    if (!read_whole_file(kNtpConf, old_text) || unit_stat(kNtpConf, &st) != 0) {
        LogRepeated(conf_failures.run, 3, "%s cannot be read\n", kNtpConf);
        return -1;
    }
    std::string text;
    std::istringstream in(old_text);
    for (std::string line; std::getline(in, line);)
        if (line.find("127.127.1.0") == std::string::npos &&
            line.find("127.127.28.") == std::string::npos && !line.starts_with(kOrphanText))
            text += line + '\n';
    return WriteFileReported(kNtpConf, text + lines, kDaemonFileAccess);
}

// ntpd's local clock at the stratum: edited in place where the file holds the
// unit's two lines of it and no other clock; else they take the place of the
// clock lines it holds (an orphan stratum of ntpsec, the shared-memory clock of
// an earlier run, none at all).
int write_local_clock(int stratum) {
    std::string conf;
    read_whole_file(kNtpConf, conf);
    const bool own_lines = conf.starts_with("server 127.127.1.0\n") ||
                           conf.find("\nserver 127.127.1.0\n") != std::string::npos;
    if (own_lines && conf.find(kFudgeText) != std::string::npos &&
        conf.find("127.127.28.") == std::string::npos &&
        conf.find(kOrphanText) == std::string::npos)
        return edit_local_stratum(stratum);
    return replace_reference_clocks(
        format_command("server 127.127.1.0\n%s %d\n", kFudgeText, stratum));
}

// Shm: the lines that name the unit's shared-memory clock at the stratum,
// polled every 2 s, so that each take (one in about 5 s) reaches the clock
// filter within 2 s of the read.
std::string shm_refclock_lines(int stratum) {
    const std::string unit = std::to_string(shm_delivery_unit());
    return "server 127.127.28." + unit + " minpoll 1 maxpoll 1\n" + "fudge 127.127.28." + unit +
           " refid TOT stratum " + std::to_string(stratum) + "\n";
}

// The lines of the factory file; none when it is not root's alone.
std::set<std::string> factory_lines() {
    std::set<std::string> lines;
    std::string text;
    struct stat st {};
    if (!read_whole_file(kFactoryNtpConf, text) || unit_stat(kFactoryNtpConf, &st) != 0 ||
        st.st_uid != 0 || (st.st_mode & 022))
        return lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

// The first line of the text that is neither blank, a comment, a line of the
// factory file nor one of the unit's own; empty when there is none.
std::string foreign_line(const std::string& text) {
    const std::set<std::string> factory = factory_lines();
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#' || factory.contains(line) ||
            std::regex_match(line, kOwnLine))
            continue;
        return line;
    }
    return {};
}

// The working ntp.conf copied where the daemon reads it, unless it holds a line
// that another could have written (reported; the daemon keeps its copy). 0, or
// -1 when the copy failed (logged).
int copy_ntp_conf() {
    std::string text;
    if (!read_whole_file(kNtpConf, text)) {
        LogRepeated(conf_failures.run, 3, "%s cannot be read\n", kNtpConf);
        return -1;
    }
    const std::string target = deploy_setting("ORV_NTP_CONF_COPY", kNtpConfTarget);
    if (const std::string line = foreign_line(text); !line.empty()) {
        LogPrint(LOG_TO_BOTH, 3,
                 "%s holds a line that the unit does not write, not copied to %s: %s\n", kNtpConf,
                 LogEscaped(target).c_str(), LogEscaped(line).c_str());
        return 0;
    }
    const int copied = CopyFileReported(kNtpConf, target.c_str());
    run_command("sync");
    return copied;
}

// The working ntp.conf, then its copy where the daemon reads it. ntpsec has no
// local clock that it serves: without shared memory it serves its own clock
// as an orphan, at once. With shared memory it serves the segment's clock,
// and its own as an orphan at the holdover's stratum once that clock has gone
// unreachable (eight polls without a sample). ntpsec's maximum dispersion,
// the one it gives each missing sample, is 1 s in place of 16 s: the first
// sample after a start, and the missed polls before the clock is unreachable,
// then keep the root distance under the 3 s a default client accepts. Shm
// delivery without a segment of the unit's own names no reference clock. The
// local clock of ntpd takes the place of the shared-memory clock of an earlier
// run.
int write_ntp_conf(bool shm, bool ntpsec, int stratum) {
    const std::string orphan =
        format_command("%s %d orphanwait 1%s\n", kOrphanText,
                       shm ? std::min(stratum + 1 + kHoldoverStrata, kMaxStratum) : stratum,
                       shm && ntpsec ? " maxdisp 1" : "");
    const int written = shm ? replace_reference_clocks(
                                  time_delivery_ready() ? shm_refclock_lines(stratum) + orphan : "")
                        : ntpsec ? replace_reference_clocks(orphan)
                                 : write_local_clock(stratum);
    return written != 0 ? -1 : copy_ntp_conf();
}

std::string chrony_conf() {
    return deploy_setting("ORV_CHRONY_CONF", kChronyConf);
}

// chrony: the unit's own file among its configuration files, written whole.
int write_chrony_conf(bool shm, int stratum) {
    std::string text = "# Broadcast time (TOT) from orv-main, served to every client.\n";
    if (!shm)
        text += format_command("local stratum %d\n", stratum);
    else if (time_delivery_ready())
        text += format_command("refclock SHM %d refid TOT poll 1 filter 1 stratum %d\n",
                               shm_delivery_unit(), stratum);
    text += "allow\n";
    return WriteFileReported(chrony_conf().c_str(), text, kDaemonFileAccess, DirSync::yes);
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
    ntp_server.refclock_written = shm && time_delivery_ready() && result == 0;
    if (result != 0) {
        ++conf_failures.tries;
    } else if (conf_failures.tries > 0) {
        LogPrint(LOG_TO_BOTH, 6, "NTP daemon's configuration written after %lu failed tries\n",
                 conf_failures.tries);
        conf_failures = ConfFailures{};
    }
    return written;
}

} // namespace

std::string ntp_daemon_command(int start) {
    return start ? deploy_setting("ORV_NTP_START", ntp_daemon().start)
                 : deploy_setting("ORV_NTP_STOP", ntp_daemon().stop);
}

namespace {

// The running daemon restarted to serve the stratum just written. A stop
// first: the init script's start leaves a running ntpd as it was.
void restart_daemon(int stratum, const char* why) {
    for (const std::string& command : {ntp_daemon_command(0), ntp_daemon_command(1)}) {
        run_command(command);
        std::printf("CMD > %s\n", command.c_str());
    }
    LogPrint(LOG_TO_BOTH, 6, "NTP daemon restarted at stratum %d: %s\n", stratum, why);
}

} // namespace

void ntp_server_report_settings() {
    if (const std::string name = deploy_setting("ORV_NTP_DAEMON");
        !name.empty() && &ntp_daemon() == &kInitScript)
        LogPrint(LOG_TO_BOTH, 3, "ORV_NTP_DAEMON \"%s\" is unknown: %s\n", LogEscaped(name).c_str(),
                 kInitScript.start);
}

std::string ntp_daemon_conf() {
    if (&ntp_daemon() == &kChrony) return chrony_conf();
    std::string copy = deploy_setting("ORV_NTP_CONF_COPY", kNtpConfTarget);
    struct stat st {};
    if (!copy.ends_with('/') && unit_stat(copy.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        copy += '/';
    return copy.ends_with('/') ? copy + "ntp.conf" : copy;
}

// In shm delivery the daemon never runs on a segment that another may have
// made: it waits for one of the unit's own, and for the configuration naming it.
void ntp_server_start() {
    if (!time_delivery_ready()) {
        LogRepeated(start_refused, 3,
                    "NTP daemon not started: no shared memory segment of the unit's own\n");
        return;
    }
    LogRepeatEnd(start_refused);
    if (time_delivery_shm() && !ntp_server.refclock_written) {
        ntp_server.written = 0;
        set_ntp_stratum(ntp_server.stratum);
        if (!ntp_server.refclock_written) return;
    }
    control_daemon(1, ntp_daemon_command(1), "Start");
    ntp_server.stop_reason = nullptr;
}

void ntp_server_stop(const char* reason) {
    ntp_server.stop_reason = reason;
    control_daemon(0, ntp_daemon_command(0), "Stop");
}

// The current stratum keeps the requested value, so that an out-of-range
// request is reported once and not rewritten on every tune. Its start value 16
// is no stratum that was written: the first request is always written, so that
// a request of 16 is clamped like any other. A write that failed is tried
// again at the next tick. chrony's local stratum is the one it serves, one
// above the local clock's of ntpd. A running daemon is restarted to serve what
// was written.
int set_ntp_stratum(int stratum) {
    const int target = variant_bit_set() ? kVariantStratum : stratum;
    if (target == ntp_server.stratum && ntp_server.written) return 0;
    std::printf("set_ntp_stratum %d => %d\n", ntp_server.stratum, target);
    ntp_server.stratum = target;
    const int written = write_stratum(true);
    if (ntp_server.written && ntp_server.running) restart_daemon(written, "new stratum");
    return 0;
}

void ntp_server_retry_stratum() {
    if (!ntp_server.written) set_ntp_stratum(ntp_server.stratum);
}

void ntp_server_holdover(bool free_running) {
    const int raised = free_running && !time_delivery_shm();
    if (raised == ntp_server.raised) return;
    ntp_server.raised = raised;
    const int written = write_stratum(false);
    if (ntp_server.running) restart_daemon(written, raised ? "holdover begun" : "holdover over");
}
