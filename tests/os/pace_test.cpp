// The pace of unit time under the simulator's shorter ticks.
#include "os/pace.h"

#include <gtest/gtest.h>

TEST(Pace, UnitPaceLeavesWaitsAloneAndFasterPaceScalesThemWithAFloor) {
    pace_set_tick_ms(1000);
    EXPECT_EQ(1000000u, pace_tick_us());
    EXPECT_EQ(3000u, pace_wait_ms(3000));
    pace_set_tick_ms(100);
    EXPECT_EQ(100000u, pace_tick_us());
    EXPECT_EQ(300u, pace_wait_ms(3000));
    EXPECT_EQ(20u, pace_wait_ms(50));
    pace_set_tick_ms(1000);
}
