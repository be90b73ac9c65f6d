// The NTP daemons that the unit can drive, one table of functions each: the
// init script of ntpd (the unit's own), ntpsec and chrony, chosen by the name
// that the deployment settings give (ORV_NTP_DAEMON).
#pragma once

#include <string>

// The highest stratum that a daemon serves.
constexpr int kMaxStratum = 15;

struct NtpDaemon {
    const char* name; // as ORV_NTP_DAEMON names it; "" for the init script of ntpd
    // Its start (a restart, so that a running daemon takes the configuration
    // just written) and its stop, unless the deployment settings name others.
    const char* start;
    const char* stop;
    // Writes the configuration for shm or step delivery at the stratum given
    // to its clock lines. 0, or -1 (logged).
    int (*write_conf)(bool shm, int stratum);
    // The unit path of the configuration that it reads.
    std::string (*conf_path)();
    // Added to the stratum asked for when the daemon serves its local clock
    // (step delivery): ntpd serves one above its local clock's, chrony's local
    // stratum and ntpsec's orphan stratum are those served.
    int local_stratum_offset;
};

// The daemon that ORV_NTP_DAEMON names; the init script of ntpd when it names
// none or one unknown.
const NtpDaemon& ntp_daemon();
// Logs once, at start, a daemon named that cannot be used.
void ntp_daemon_report_settings();
// The unit path of the configuration that the daemon reads: the copy of
// ntp.conf (ntpd, ntpsec; a directory named for it holds "ntp.conf") or
// chrony's file of the unit.
std::string ntp_daemon_conf();

enum class DaemonAction { stop, start };
// The command that starts or stops the daemon, as the deployment settings may
// name it (ORV_NTP_START, ORV_NTP_STOP).
std::string ntp_daemon_command(DaemonAction action);
