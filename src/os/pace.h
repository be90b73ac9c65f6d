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
// The moment of a tick (`deadline`, on the monotonic clock that reads `now`)
// kept off the boundaries of the wall clock's ticks, its seconds on the unit,
// so that a late tick neither skips a second nor reads one twice: a deadline
// that would fall within a quarter tick of a boundary moves to the middle
// between two, never sooner than half a tick from now. `wall_now`: the wall
// clock now, in µs since the epoch (it moves when the clock is stepped).
int64_t pace_mid_tick(int64_t deadline, int64_t now, int64_t wall_now);
