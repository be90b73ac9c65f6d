// The check of the local zone at program start: "/bin/date -s" takes the
// broadcast's Japan time as local time, so any other zone sets the clock off by
// the difference.
#include "main/local_zone.h"

#include "log/status_log.h"

#include <ctime>
#include <initializer_list>

namespace {

constexpr long kJapanOffsetSeconds = 9 * 3600;

} // namespace

bool local_zone_is_japan() {
    const time_t now = std::time(nullptr);
    tm today{};
    localtime_r(&now, &today);
    // Midwinter and midsummer of this year: a zone with daylight saving differs in one.
    for (const int month : {0, 6}) {
        tm probe{};
        probe.tm_year = today.tm_year;
        probe.tm_mon = month;
        probe.tm_mday = 15;
        probe.tm_hour = 12;
        probe.tm_isdst = -1;
        const time_t at = std::mktime(&probe);
        tm local{};
        if (at == time_t(-1) || !localtime_r(&at, &local)) return false;
        if (local.tm_gmtoff != kJapanOffsetSeconds || local.tm_isdst > 0) return false;
    }
    return true;
}

void check_local_zone() {
    if (!local_zone_is_japan())
        LogPrint(LOG_TO_BOTH, 3,
                 "Local time is not Japan time (UTC+9): the clock would be set off by the "
                 "difference; set TZ=Asia/Tokyo\n");
}
