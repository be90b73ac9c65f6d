// The floor of every clock setting, the day the program was built, and when a
// clock command set the clock.
#include "os/clock.h"
#include "sandbox.h"

// The build's day is that of SOURCE_DATE_EPOCH, or else of the last commit:
// the same on whatever day the program is built.
TEST_F(SandboxTest, TheBuildDayIsTheFloorOfEveryClockSetting) {
    clock_floor_set(0); // the floor the program is built with, not the tests' one
    const time_t floor = clock_floor();
    std::string epoch = std::getenv("SOURCE_DATE_EPOCH") ? std::getenv("SOURCE_DATE_EPOCH") : "";
    if (FILE* git =
            epoch.empty() ? popen("git -C " ORV_SOURCE_DIR " log -1 --format=%ct", "r") : nullptr) {
        for (int c; (c = std::fgetc(git)) != EOF && c != '\n';)
            epoch += char(c);
        pclose(git);
    }
    if (!epoch.empty()) {
        EXPECT_EQ(floor, std::stoll(epoch) / 86400 * 86400);
    }
    EXPECT_EQ(-1, set_system_clock(floor - 1, 999999));
    EXPECT_EQ(0, set_system_clock(floor, 0));
    clock_floor_set(kTestsClockFloor);
}

// A command given 1000.000000 s and started at 10 s (monotonic): the clock,
// read once the command had set it or ended, tells when it set the clock; a
// moment outside its run is no measure (the command failed, or something else
// set the clock).
TEST(ClockCommand, TheMomentItSetTheClockIsReadFromTheClockAfterIt) {
    const std::tuple<int64_t, int64_t, std::optional<int64_t>> cases[] = {
        // clock read (us), read at (monotonic us), set after the start (us)
        {1000'030'000, 10'120'000, 90'000},      {1000'000'000, 10'120'000, 120'000},
        {1000'120'000, 10'120'000, 0},           {1000'130'000, 10'120'000, std::nullopt},
        {999'990'000, 10'120'000, std::nullopt},
    };
    for (const auto& [clock_us, read_us, set_after_us] : cases)
        EXPECT_EQ(clock_command_set_after_us(1000'000'000, clock_us, 10'000'000, read_us),
                  set_after_us)
            << clock_us;
}

// The offset that brings the clock to a time read at a monotonic moment,
// carried forward to the reading of both clocks: the pause since the reading
// no longer counts, only the moment of the reading.
TEST(ClockCommand, TheSettingIsTheOffsetFromOneReadingOfBothClocks) {
    const std::tuple<int64_t, ClockPair, int64_t> cases[] = {
        // time (us) at 10 s (monotonic); both clocks read (ns); the offset (ns)
        {1000'000'000, {1000'250'000'000, 10'250'000'000}, 0},
        {1000'000'000, {990'250'000'000, 10'250'000'000}, 10'000'000'000},
        {1000'000'000, {1000'300'000'123, 10'250'000'000}, -50'000'123},
    };
    for (const auto& [time_us, now, offset_ns] : cases)
        EXPECT_EQ(clock_offset_ns(time_us, 10'000'000, now), offset_ns) << now.system_ns;
}
