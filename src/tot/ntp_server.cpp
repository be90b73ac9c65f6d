// The NTP daemon's start and stop and the stratum it serves: the stratum asked
// for (clamped to what the daemon takes, raised for the holdover) written to
// the configuration of the daemon that ntp_daemon names, for the delivery that
// time_delivery chooses, and a running daemon restarted to serve it. A
// daemon's start is a restart, so that a running daemon takes the
// configuration just written.
#include "tot/ntp_server.h"

#include "log/status_log.h"
#include "os/shell.h"
#include "settings/system_file.h"
#include "tot/ntp_conf.h"
#include "tot/ntp_daemon.h"
#include "tot/take_counters.h"
#include "tot/time_delivery.h"

#include <algorithm>
#include <cstdio>
#include <string>

NtpServerState ntp_server{0, 16, 0};

namespace {

// The run of starts refused for want of the unit's own segment.
LogRepeat start_refused;

constexpr int kVariantStratum = 10;
// Strata that the daemons take for a local clock, and for a reference clock.
constexpr int kMinLocalStratum = 1;
constexpr int kMinReferenceStratum = 0;

// Runs the daemon's command and records what was asked of it; the log line
// names an operator's reason.
void control_daemon(DaemonAction action, const char* what) {
    const std::string command = ntp_daemon_command(action);
    ntp_server.running = action == DaemonAction::start;
    if (ntp_server.running) ++take_counters.daemon_starts;
    run_command(command);
    std::printf("CMD > %s\n", command.c_str());
    if (ntp_server.stop_reason)
        LogPrint(LOG_TO_BOTH, 6, "%s TOT Time Server (%s)\n", what, ntp_server.stop_reason);
    else
        LogPrint(LOG_TO_BOTH, 6, "%s TOT Time Server\n", what);
}

// Writes that failed in a row, each tried again at the next tick; the write
// that succeeds after them is logged with their count.
unsigned long failed_writes = 0;

// The configuration for the stratum asked for, raised for the holdover: ntpd's
// local clock or reference clock serves one stratum above its own; chrony's
// local stratum and ntpsec's orphan stratum are those served.
// Returns the stratum written; a clamp is logged when the request is.
int write_stratum(bool requested) {
    const bool shm = time_delivery_shm();
    const NtpDaemon& daemon = ntp_daemon();
    const int wanted = shm ? ntp_server.stratum : ntp_server.stratum + daemon.local_stratum_offset;
    int written = std::clamp(wanted, shm ? kMinReferenceStratum : kMinLocalStratum, kMaxStratum);
    if (written != wanted && requested)
        LogPrint(LOG_TO_BOTH, 3, "NTP stratum %d out of range, %d written\n", wanted, written);
    if (ntp_server.raised) written = std::min(written + kHoldoverStrata, kMaxStratum);
    const int result = daemon.write_conf(shm, written);
    ntp_server.written = result == 0;
    ntp_server.refclock_written = shm && time_delivery_ready() && result == 0;
    if (result != 0) {
        ++failed_writes;
    } else if (failed_writes > 0) {
        LogPrint(LOG_TO_BOTH, 6, "NTP daemon's configuration written after %lu failed tries\n",
                 failed_writes);
        failed_writes = 0;
        ntp_conf_failures_over();
    }
    return written;
}

// The running daemon restarted to serve the stratum just written. A stop
// first: the init script's start leaves a running ntpd as it was.
void restart_daemon(int stratum, const char* why) {
    for (const DaemonAction action : {DaemonAction::stop, DaemonAction::start}) {
        const std::string command = ntp_daemon_command(action);
        run_command(command);
        std::printf("CMD > %s\n", command.c_str());
    }
    LogPrint(LOG_TO_BOTH, 6, "NTP daemon restarted at stratum %d: %s\n", stratum, why);
}

} // namespace

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
    control_daemon(DaemonAction::start, "Start");
    ntp_server.stop_reason = nullptr;
}

void ntp_server_stop(const char* reason) {
    ntp_server.stop_reason = reason;
    control_daemon(DaemonAction::stop, "Stop");
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
    return ntp_server.written ? 0 : -1;
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
