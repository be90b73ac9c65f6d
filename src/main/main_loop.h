// The main loop: the control FIFO and the one-second tick.
#pragma once

#include <cstdint>

constexpr const char* kControlFifoPath = "/var/kelvatro/maincontrol";

int main_loop();
int main_tick();

// The deadline of the tick after one that has run: the next point of the grid
// of whole ticks that still lies ahead, so that a tick running over skips the
// ticks it overran and never brings a burst of them.
int64_t next_deadline(int64_t deadline, int64_t now, int64_t tick);
