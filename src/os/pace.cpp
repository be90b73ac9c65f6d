// The pace of the unit's time: how long one tick lasts. The unit ticks once a
// second; the simulator may shorten the tick, and every tick-counted wait
// follows it.
#include "os/pace.h"

#include "os/clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {
std::atomic<unsigned> tick_ms{1000};
std::atomic<int64_t (*)()> clock_source{nullptr};
constexpr unsigned kMinScaledWaitMs = 20;
} // namespace

void pace_set_tick_ms(unsigned ms) {
    tick_ms = ms;
}

unsigned pace_tick_us() {
    return tick_ms * 1000;
}

unsigned pace_wait_ms(unsigned ms) {
    const unsigned tick = tick_ms;
    if (tick == 1000) return ms;
    const auto scaled = static_cast<unsigned long long>(ms) * tick / 1000;
    return static_cast<unsigned>(std::max<unsigned long long>(kMinScaledWaitMs, scaled));
}

void pace_sleep_seconds(unsigned seconds) {
    const unsigned long long total_ms = static_cast<unsigned long long>(seconds) * tick_ms;
    timespec left{static_cast<time_t>(total_ms / 1000),
                  static_cast<long>(total_ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int64_t pace_clock_us() {
    if (const auto source = clock_source.load()) return source();
    return monotonic_us() * 1000 / tick_ms;
}

void pace_set_clock(int64_t (*now_us)()) {
    clock_source = now_us;
}

int64_t pace_mid_tick(int64_t deadline, int64_t now, int64_t wall_now) {
    const int64_t tick = pace_tick_us();
    const int64_t phase = ((wall_now + deadline - now) % tick + tick) % tick;
    if (std::llabs(phase - tick / 2) <= tick / 4) return deadline;
    deadline += tick / 2 - phase;
    return deadline - now < tick / 2 ? deadline + tick : deadline;
}
