// orvctl status's view of the unit: what is known of its process, its
// published state, the NTP daemon's configuration and answer, gathered once and
// weighed both ways (whether the unit serves and whether the daemon agrees).
// The printing of it, as text or JSON, is orvctl_status.cpp's.
#pragma once

#include "daemon_check.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>

namespace status_view {

using Values = std::map<std::string, std::string>;

std::string get(const Values& v, const char* key, const char* fallback = "unknown");
// The value when it is a whole number, as it stands.
std::optional<long long> integer(const Values& v, const char* key);

// The broadcast time last taken, Japan time: "YYYY/MM/DD hh:mm:ss" as the state
// file holds it; none when it holds no such time.
struct BroadcastTime {
    int year, month, day, hour, minute, second;
};

std::optional<BroadcastTime> broadcast_time(const Values& s);

inline std::string format(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// What is known of the unit's process: a reader of its control FIFO (running;
// restarting while a RESET starts the next pass), the holder of its lock
// without one (starting before its first pass has made the FIFO, or stopping
// after its last removed it), or none; unknown to a user who may not open the
// FIFO.
enum class Running { yes, starting, stopping, no, unknown };

struct View {
    Running running;
    long pid;                // the unit's, 0 when none runs
    std::string unknown_why; // why it is unknown whether the unit runs
    Values state;
    int state_error;    // the errno when the state file cannot be read
    std::string conf;   // the daemon's configuration
    int served_stratum; // by that configuration as the unit read it, -1 unknown
    long long age;      // -1 without a take
    bool asked;         // a daemon to ask is named
    DaemonAnswer answer;
    std::string process; // the daemon's process name, empty when none runs
    int daemon_pid;
};

View gather();
// The process that holds the unit's lock, 0 when none does.
long lock_holder();

// Whether the state file says what this run of the unit does now (a starting
// unit's is the last run's).
bool state_current(const View& v);
bool unit_serves(const View& v);
// The unit as the text and the JSON name it.
std::string unit_word(const View& v);
// What the unit says of its serving: its reason, or where it stands.
std::string unit_reason(const View& v);
// Why the daemon does not serve what the unit believes it serves, either way;
// empty when they agree.
std::string disagreement(const View& v);
// 0 served and the daemon agrees, 1 not served, 2 unknown.
int verdict(const View& v);
// The disagreement, else the unit's reason.
std::string reason_of(const View& v);

} // namespace status_view
