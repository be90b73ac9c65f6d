// The SNTP client: queries planned on the event timers, each sent without
// waiting; its reply is taken when the main loop finds the socket readable, and
// only a reply that passes the checks sets the clocks, and none while the unit
// keeps broadcast time.
#pragma once

#include <cstdint>

int ntp_client_restart();
int32_t ntp_client_schedule(uint32_t seconds);
// The timer callback: sends the next query.
void ntp_client_event(uintptr_t arg1, uintptr_t arg2);
// The socket of the query waiting for its reply, or -1.
int ntp_client_socket();
// Takes the reply from that socket when it is readable.
void ntp_client_receive();
uint32_t ntp_quiet_wait();
// The quiet-window wait for a given local time of day.
uint32_t ntp_quiet_wait_at(int hour, int minute, int second);
