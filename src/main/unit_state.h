// The unit's published state: ORV_State.ini, what the unit is doing in one
// small file for orvctl and the web front end (serving and why, reception, the
// last take, the delivery of broadcast time, the NTP daemon, the version and the
// start, the network settings applied), and the same values as a Prometheus textfile (orv_main.prom
// in the directory that ORV_METRICS_DIR names; none when it is unset), which says at the program's
// end that it runs no more.
#pragma once

#include "main/daemon_watch.h"
#include "settings/network_file.h"
#include "tot/take_counters.h"

#include <cstdint>
#include <string>

constexpr const char* kStateFilePath = "/var/kelvatro/conf/ORV_State.ini";
constexpr const char* kMetricsFileName = "orv_main.prom";

// What is published, gathered from the subsystems once a tick.
struct UnitState {
    int64_t started_s; // the program's start, s since the epoch
    int pid;
    int serving;        // the NTP daemon running on broadcast time
    std::string reason; // why the unit serves or does not
    int holdover;       // the NTP daemon serving the free-running clock for want of takes
    int function;       // the TOT function carried
    int lock, channel, level, snr, ber;
    int64_t taken_at_s; // the last take, 0 before the first
    int last_year, last_month, last_day, last_hour, last_minute, last_second;
    int shm; // shm delivery, else step
    int shm_unit, shm_count;
    int ntp_running;    // the NTP daemon started by the unit
    int stratum;        // the setting
    int served_stratum; // by the NTP daemon's configuration, -1 unknown
    int reception_poor; // locked, the SNR or the BER past its threshold
    TakeCounters counters;
    std::string daemon = "ntp"; // ORV_NTP_DAEMON: ntpsec, chrony, else ntp
    std::string conflict;       // of the time sources the settings choose, empty: none
    DaemonView ntp_answer{};    // the daemon's answer to the unit's query
    std::optional<NetworkSettings> network{}; // the settings applied, none before
};

// Notes the program's start and says it in the metrics file at once (orv_up 1);
// a metrics directory named but missing is said here, once.
void unit_state_started();
// Gathers the state and writes the state file and the metrics file when a value
// in them changed. A failed write is logged once until a write succeeds.
void publish_unit_state();
// At the end of a pass that restarts: the state file says so (not serving,
// reason "restarting") until the next pass's first tick.
void publish_unit_restarting();
// At the program's end: the metrics file says that the unit runs and serves no
// more.
void publish_unit_ended();

// Forgets the texts last written, so that the next publish writes both files
// (tests).
void unit_state_reset();

// The texts of the two files (seconds since the epoch `now` for the metrics).
std::string state_file_text(const UnitState& s);
std::string metrics_text(const UnitState& s, int64_t now_s);
// The metrics of a unit between its ticks: just started (up), or ended.
std::string brief_metrics_text(bool up, int64_t started_s);
