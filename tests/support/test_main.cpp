// Test entry: the unit lives in Japan time, whatever the machine's zone, and
// runs its file and text commands in the sandbox's guarded shell.
#include "guarded_shell.h"
#include "os/clock.h"
#include "sandbox.h"

#include <ctime>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    clock_floor_set(kTestsClockFloor);
    sandbox_guard_install();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
