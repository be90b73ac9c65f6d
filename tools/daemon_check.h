// The NTP daemon as it is: what it answers to one client query, as ntpstat
// and chronyc tracking ask it, and whether its process runs.
#pragma once

#include <string>

// The daemon's answer; `answered` false with `failure` saying what happened.
struct DaemonAnswer {
    std::string address; // host:port asked
    bool answered;
    std::string failure;
    int leap;
    int stratum;
    std::string refid;
    double root_delay_ms;
    double root_dispersion_ms;
    double offset_ms; // the daemon's clock less this machine's
};

// Asks 127.0.0.1:123, or the host:port that ORV_NTP_QUERY names, once, and
// waits at most a second.
DaemonAnswer daemon_query();

// Whether it counts as synchronised: leap 0 to 2, stratum 1 to 15.
bool daemon_synchronised(const DaemonAnswer& answer);

// The process of ntpd or chronyd: its pid file (under the sandbox root when
// sandboxed), else, on the unit, a process of that name. 0 when none runs;
// `name` then stays empty.
int daemon_process(std::string& name);
