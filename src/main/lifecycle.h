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

// The lock file in the run directory, held by the one unit that runs there; it
// holds that unit's pid.
constexpr const char* kRunLockPath = "/var/kelvatro/orv-main.lock";
// Takes the run directory's lock for the rest of the process (again: nothing
// to do). -1 when another process holds it (said on standard error); a lock
// file that cannot be opened is said and the unit goes on without it.
int lock_run_directory();
// The signal (SIGTERM, SIGINT) that asked the program to end, 0 before one.
// The main loop ends the pass on it as END does, without the power-off.
int end_signal_received();
// The whole program run: the run directory's lock, passes until a pass result
// of 0 or less, the metrics file's last word, then reboot or power-off as the
// flags say. Returns 0, or 1 when another unit holds the lock.
int orv_run();
