// Setting the clock from broadcast time, and the NTP daemon: start, stop and
// the stratum of its local-clock reference.
#pragma once

#include <cstdint>

struct NtpServerState {
    int32_t running; // 1 after ntp_server_start, 0 after ntp_server_stop
    int32_t stratum; // last stratum asked for, 16 at start
    int32_t written; // 1 once a stratum was written to the configuration
};

extern NtpServerState ntp_server;

// Date and time as plain integers; the fraction comes from the TOT state.
int set_system_time(int year, int month, int day, int hour, int minute, int second, int adjust);
void ntp_server_start();
void ntp_server_stop();
int set_ntp_stratum(int stratum);
