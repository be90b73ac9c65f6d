// Setting the clock from broadcast time, and the NTP daemon: start (a restart
// of a running daemon), stop and the stratum of its reference.
#pragma once

#include <cstdint>
#include <string>

struct NtpServerState {
    int32_t running; // 1 after ntp_server_start, 0 after ntp_server_stop
    int32_t stratum; // last stratum asked for, 16 at start
    int32_t written; // 1 once that stratum was written to the configuration
};

extern NtpServerState ntp_server;

// Date and time as plain integers; the fraction comes from the TOT state.
int set_system_time(int year, int month, int day, int hour, int minute, int second, int adjust);
// Logs once, at start, a daemon or time delivery named that cannot be used.
void ntp_server_report_settings();
// The unit path of the configuration that the daemon reads: the copy of
// ntp.conf (ntpd, ntpsec; a directory named for it holds "ntp.conf") or
// chrony's file of the unit.
std::string ntp_daemon_conf();
void ntp_server_start();
void ntp_server_stop();
int set_ntp_stratum(int stratum);
