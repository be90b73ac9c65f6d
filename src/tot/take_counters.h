// Counts of the time service's events since the program's start, which the
// metrics publish: takes of broadcast time, takes that failed after the JST
// flag (by the kind of reason the time could not be read), holdovers begun and
// starts of the NTP daemon. Kept under the TOT mutex like the rest of the TOT state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

// The kinds of failed takes, each as the reasons of its kind begin and as the
// metrics label it: a fixed set, so that each kind is one series whatever the
// reason's details (the dates of an implausible one), which the log keeps.
// The last kind takes any other reason.
constexpr std::pair<std::string_view, const char*> kTakeFailureKinds[] = {
    {"FPGA not answering", "fpga_not_answering"},
    {"FPGA reading all ones", "fpga_reading_all_ones"},
    {"no time latched", "no_time_latched"},
    {"time word frozen", "time_word_frozen"},
    {"invalid time word", "invalid_time_word"},
    {"implausible date", "implausible_date"},
    {"latch too old", "latch_too_old"},
    {"", "other"},
};
constexpr size_t kTakeFailureKindCount = std::size(kTakeFailureKinds);

// The kind of a reason (none: the last): the first whose text begins it.
constexpr size_t take_failure_kind(const char* reason) {
    const std::string_view text = reason ? reason : "";
    size_t kind = 0;
    while (!text.starts_with(kTakeFailureKinds[kind].first))
        ++kind;
    return kind;
}

struct TakeCounters {
    uint64_t takes = 0;
    uint64_t holdovers = 0;
    uint64_t daemon_starts = 0;
    std::array<uint64_t, kTakeFailureKindCount> failures{}; // by kind
};

inline TakeCounters take_counters;
