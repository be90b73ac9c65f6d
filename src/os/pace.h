// The pace of the unit's time: one tick a second on the unit. The simulator may
// run the unit faster; every tick-counted wait of the unit scales with it.
#pragma once

#include <cstdint>

// Sets the tick length in milliseconds (the simulator only).
void pace_set_tick_ms(unsigned tick_ms);
// Length of one tick in microseconds (1000000 on the unit).
unsigned pace_tick_us();
// A wait of the given milliseconds on the unit, scaled to the pace. Scaled
// waits for answers of other threads never fall below a floor of 20 ms.
unsigned pace_wait_ms(unsigned ms);
// Sleeps for the given number of unit seconds, scaled to the pace.
void pace_sleep_seconds(unsigned seconds);
// The unit's monotonic clock in microseconds of unit time: CLOCK_MONOTONIC,
// scaled to the pace like every wait.
int64_t pace_clock_us();
// Tests only: the clock that pace_clock_us reads instead (nullptr: back to
// CLOCK_MONOTONIC).
void pace_set_clock(int64_t (*now_us)());
