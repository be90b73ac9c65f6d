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
int main_term();
// The whole program run: passes until a pass result of 0 or less, then reboot
// or power-off as the flags say. Returns 0.
int orv_run();
