// ntp.conf as the unit writes it for ntpd and ntpsec: the working copy on the
// RAM disk, its reference-clock lines (ntpd's local clock, ntpsec's orphan
// stratum, the shared-memory clock of shm delivery) edited or replaced, and the
// copy where the daemon reads it (ORV_NTP_CONF_COPY), made only while the file
// holds the lines of the factory file and the unit's own.
#include "tot/ntp_conf.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/deploy_settings.h"
#include "os/file_access.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/file_store.h"
#include "tot/ntp_daemon.h"
#include "tot/ntp_server.h"
#include "tot/time_delivery.h"

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

constexpr const char* kNtpConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kNtpConfTarget = "/etc/";
// The factory ntp.conf: the SD card's copy, which the package ships and the
// unit never writes.
constexpr const char* kFactoryNtpConf = "/usr/kelvatro/conf/ntp.conf";
constexpr const char* kFudgeText = "fudge 127.127.1.0 stratum";
constexpr const char* kOrphanText = "tos orphan";
// The lines of ntp.conf that the unit writes itself.
const std::regex kOwnLine(R"(server 127\.127\.1\.0|fudge 127\.127\.1\.0 stratum \d{1,2})"
                          R"(|server 127\.127\.28\.\d{1,3} minpoll 1 maxpoll 1)"
                          R"(|fudge 127\.127\.28\.\d{1,3} refid TOT stratum \d{1,2})"
                          R"(|tos orphan \d{1,2} orphanwait 1( maxdisp 1)?)");

// The first failure of a run of failed writes is logged (the NTP server logs
// the write that succeeds after them).
LogRepeat conf_failing;

// The local clock's stratum edited in place. 0, or -1 (logged).
int edit_local_stratum(int stratum) {
    const std::string conf = shell_quote(kNtpConf);
    const int status =
        run_command(format_command("grep -l '%s' %s | xargs sed -i -e 's/%s.*/%s %d/g'", kFudgeText,
                                   conf.c_str(), kFudgeText, kFudgeText, stratum));
    if (status == 0) return 0;
    LogRepeated(conf_failing, 3, "Cannot edit %s: status %d\n", kNtpConf, status);
    return -1;
}

// The daemon's reference clocks make way for the unit's lines: a local clock
// or another shared-memory clock left beside them would go on claiming
// synchronisation when the broadcast is lost. 0, or -1 (logged).
int replace_reference_clocks(const std::string& lines) {
    std::string old_text;
    struct stat st {};
    if (!read_whole_file(kNtpConf, old_text) || unit_stat(kNtpConf, &st) != 0) {
        LogRepeated(conf_failing, 3, "%s cannot be read\n", kNtpConf);
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
    read_root_file(kFactoryNtpConf, text);
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
        LogRepeated(conf_failing, 3, "%s cannot be read\n", kNtpConf);
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
    const std::string orphan = format_command("%s %d orphanwait 1%s\n", kOrphanText,
                                              shm ? own_clock_stratum(stratum) : stratum,
                                              shm && ntpsec ? " maxdisp 1" : "");
    const int written = shm ? replace_reference_clocks(
                                  time_delivery_ready() ? shm_refclock_lines(stratum) + orphan : "")
                        : ntpsec ? replace_reference_clocks(orphan)
                                 : write_local_clock(stratum);
    return written != 0 ? -1 : copy_ntp_conf();
}

} // namespace

int ntpd_write_conf(bool shm, int stratum) {
    return write_ntp_conf(shm, false, stratum);
}

int ntpsec_write_conf(bool shm, int stratum) {
    return write_ntp_conf(shm, true, stratum);
}

std::string ntp_conf_copy_path() {
    std::string copy = deploy_setting("ORV_NTP_CONF_COPY", kNtpConfTarget);
    struct stat st {};
    if (!copy.ends_with('/') && unit_stat(copy.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        copy += '/';
    return copy.ends_with('/') ? copy + "ntp.conf" : copy;
}

void ntp_conf_failures_over() {
    conf_failing = LogRepeat{};
}
