// The pace of unit time under the simulator's shorter ticks.
#include "os/pace.h"

#include <gtest/gtest.h>

// A tick's deadline kept between a quarter and three quarters into the wall
// clock's second (into its tick on a shorter pace): at start, and after the
// clock was stepped, a deadline near the boundary moves to the middle, at
// least half a tick ahead. Times in ms: now 0 on the monotonic clock.
TEST(Pace, TicksStayInTheMiddleOfTheWallClocksSecond) {
    const std::tuple<unsigned, int64_t, int64_t, int64_t> cases[] = {
        {1000, 1000, 5000500, 1000}, {1000, 1000, 5000250, 1000}, {1000, 1000, 5000750, 1000},
        {1000, 1000, 5000000, 1500}, {1000, 1000, 5000200, 1300}, {1000, 1000, 5000900, 600},
        {1000, 100, 5000850, 650},   {1000, 200, 5000000, 500},   {100, 100, 5000000, 150},
    };
    for (const auto& [tick_ms, deadline, wall_now, want] : cases) {
        pace_set_tick_ms(tick_ms);
        EXPECT_EQ(pace_mid_tick(deadline * 1000, 0, wall_now * 1000), want * 1000)
            << deadline << " " << wall_now;
    }
    pace_set_tick_ms(1000);
}
