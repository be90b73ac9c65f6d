// The floor of every clock setting: the day the program was built.
#include "os/clock.h"
#include "sandbox.h"

TEST_F(SandboxTest, TheBuildDayIsTheFloorOfEveryClockSetting) {
    clock_floor_set(0); // the floor the program is built with, not the tests' one
    const time_t floor = clock_floor();
    EXPECT_GT(floor, 1767225600); // 2026-01-01, before this test was written
    EXPECT_EQ(-1, set_system_clock(floor - 1, 999999));
    EXPECT_EQ(0, set_system_clock(floor, 0));
    clock_floor_set(kTestsClockFloor);
}
