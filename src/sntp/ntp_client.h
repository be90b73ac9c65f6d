// The SNTP client: one query to the configured server, the clock set from the
// answer, the next query planned on the event timers.
#pragma once

#include <cstdint>

int ntp_client_restart();
int32_t ntp_client_schedule(uint32_t seconds);
void ntp_client_event(uintptr_t arg1, uintptr_t arg2);
int ntp_client_main(const char* address, uint32_t* unix_time);
uint32_t ntp_quiet_wait();
// The quiet-window wait for a given local time of day.
uint32_t ntp_quiet_wait_at(int hour, int minute, int second);
