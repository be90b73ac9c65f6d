// The program's passes: start (main_init), serve (main_loop), close (main_term),
// and what the flags ask for at the end.
#pragma once

#include <cstdint>

struct MainFlags {
    uint8_t running;
    uint8_t reboot;
    uint8_t shutdown;
};

extern MainFlags main_flags;

int main_init();

// The network-init switch, polled at start one reading at a time (at most nine
// readings, a tick apart).
constexpr int kSwitchPollReadings = 9;

struct SwitchPoll {
    int reading;            // readings taken so far
    int on_count;           // consecutive on readings
    bool read_error_logged; // a reading that failed was logged
};

enum class SwitchPollStep { next, reset, done };

// Takes the next reading: reads the GPIO input, writes the GPIO output and
// prints the reading. `reset` after the third consecutive on reading, `done`
// when the polling ends without a reset. A read that fails or gives all ones
// (an FPGA that does not answer) is an off reading, logged once per polling.
SwitchPollStep switch_poll_reading(SwitchPoll& poll);

int main_term();
// The whole program run: passes until a pass result of 0 or less, the metrics
// file's last word, then reboot or power-off as the flags say. Returns 0.
int orv_run();
