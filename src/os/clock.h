// Reading and setting the system clock. In a sandbox a setting is journaled,
// never applied.
#pragma once

#include <cstdint>
#include <ctime>

// The system clock now, in nanoseconds since the epoch.
int64_t system_clock_ns();

// Sets the system clock to the given calendar time; returns 0 or -1.
int set_system_clock(time_t seconds, long microseconds);
