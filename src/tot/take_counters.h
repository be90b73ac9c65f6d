// Counts of the time service's events since the program's start, which the
// metrics publish: takes of broadcast time, takes that failed after the JST
// flag (by the reason the time could not be read), holdovers begun and starts
// of the NTP daemon. Kept under the TOT mutex like the rest of the TOT state.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct TakeCounters {
    uint64_t takes = 0;
    uint64_t holdovers = 0;
    uint64_t daemon_starts = 0;
    std::map<std::string, uint64_t> failures; // by reason
};

inline TakeCounters take_counters;
