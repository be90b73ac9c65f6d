// Test entry: the unit lives in Japan time, whatever the machine's zone.
#include "os/clock.h"
#include "sandbox.h"

#include <ctime>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    clock_floor_set(kTestsClockFloor);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
