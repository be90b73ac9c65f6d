// Setting the system clock. In a sandbox the setting is journaled, never applied.
#pragma once

#include <ctime>

// Sets the system clock to the given calendar time; returns 0 or -1.
int set_system_clock(time_t seconds, long microseconds);
