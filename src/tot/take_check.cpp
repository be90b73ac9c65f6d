// A single wild take: while the unit serves, a broadcast time more than a
// second off the unit's time is held back until the next take agrees with it,
// so that a moment of wrong broadcast time never steps the served clock.
#include "tot/take_check.h"

#include "log/status_log.h"
#include "os/clock.h"
#include "os/pace.h"
#include "tot/ntp_server.h"
#include "tot/tot_capture.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

namespace {

constexpr int64_t kAgreeUs = 1000000;

// The broadcast time less the unit's monotonic clock (pace_clock_us, µs) at the
// last take, and at a take held back for want of agreement; the run of those
// held back.
struct TakeCheck {
    std::optional<int64_t> taken_offset_us;
    std::optional<int64_t> held_offset_us;
    LogRepeat wild_takes;
};
TakeCheck check;

// A moment in µs since the epoch as local time, to the millisecond.
std::string local_text(int64_t us) {
    const time_t seconds = time_t(us / 1000000);
    tm broken{};
    localtime_r(&seconds, &broken);
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d.%03d", broken.tm_year + 1900,
                  broken.tm_mon + 1, broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec,
                  int(us % 1000000 / 1000));
    return text;
}

bool agree(int64_t offset_us, const std::optional<int64_t>& other_us) {
    return other_us && std::llabs(offset_us - *other_us) <= kAgreeUs;
}

} // namespace

bool take_believed(const TotDate& date, const TotTime& time) {
    const int64_t broadcast_us = int64_t(local_calendar_time(date.year, date.month, date.day,
                                                             time.hour, time.minute, time.second)) *
                                     1000000 +
                                 int64_t(tot_capture.milliseconds) * 1000 +
                                 tot_capture.microseconds;
    // The broadcast time less the unit's monotonic clock (read just after the
    // time): the same, within a second, for every take of one timeline.
    const int64_t now_us = pace_clock_us();
    const int64_t offset_us = broadcast_us - now_us;
    const std::optional<int64_t> held_us = std::exchange(check.held_offset_us, std::nullopt);
    const std::optional<int64_t> unit_us = check.taken_offset_us;
    if (!ntp_server.running || !unit_us || agree(offset_us, unit_us) || agree(offset_us, held_us)) {
        LogRepeatEnd(check.wild_takes);
        if (ntp_server.running && unit_us && !agree(offset_us, unit_us))
            LogPrint(LOG_TO_BOTH, 6, "TOT %s agrees with the one held back: taken, %+.3f s off\n",
                     local_text(broadcast_us).c_str(), double(offset_us - *unit_us) / 1e6);
        check.taken_offset_us = offset_us;
        return true;
    }
    check.held_offset_us = offset_us;
    LogRepeated(check.wild_takes, 3,
                "TOT %s not taken: %+.3f s off the unit's time %s; taken if the next TOT agrees\n",
                local_text(broadcast_us).c_str(), double(offset_us - *unit_us) / 1e6,
                local_text(*unit_us + now_us).c_str());
    return false;
}

void take_check_reset() {
    check = TakeCheck{};
}
