// Setting the clock from broadcast time, and the NTP daemon: start (a restart
// of a running daemon), stop and the stratum of its reference.
#pragma once

#include <cstdint>
#include <string>

struct NtpServerState {
    int32_t running;    // 1 after ntp_server_start, 0 after ntp_server_stop
    int32_t stratum;    // last stratum asked for, 16 at start
    int32_t written;    // 1 once that stratum was written to the configuration
    int32_t raised = 0; // 1 while the stratum written is raised for the holdover
};

extern NtpServerState ntp_server;

// Date and time as plain integers; the fraction comes from the TOT state.
int set_system_time(int year, int month, int day, int hour, int minute, int second, int adjust);
// Logs once, at start, a daemon or time delivery named that cannot be used.
void ntp_server_report_settings();
// The unit path of the daemon's configuration that the unit writes: ntp.conf
// (ntpd, ntpsec) or chrony's file of the unit.
std::string ntp_daemon_conf();
void ntp_server_start();
void ntp_server_stop();
int set_ntp_stratum(int stratum);
// Once a tick: whether the daemon serves the free-running clock (the
// holdover). With step delivery the daemon cannot tell it from broadcast time,
// so the unit raises the stratum it serves by kHoldoverStrata for the holdover
// and restores it after, stopping and starting a running daemon each time. With shm
// delivery the daemon sees the samples stop and degrades its answers itself.
void ntp_server_holdover(bool free_running);
// The strata added to the served one for the holdover (15 at most).
constexpr int kHoldoverStrata = 4;
