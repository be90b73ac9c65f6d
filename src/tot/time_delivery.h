// How broadcast time reaches the host clock, as ORV_TIME_DELIVERY says: set with
// /bin/date at every take ("step", the unit's own), or handed to the NTP daemon
// as samples of its shared-memory reference clock ("shm", unit ORV_SHM_UNIT),
// which the daemon disciplines the clock with and serves.
#pragma once

#include "tot/tot_state.h"

#include <string>

// Shm delivery with a usable unit; step otherwise.
bool time_delivery_shm();
// Logs once, at start, a delivery or unit that cannot be used (step then runs).
void time_delivery_report();
// The unit of the shared-memory segment with shm delivery, else -1.
int shm_delivery_unit();
// Logs how broadcast time reaches the host clock (at the start of the time service).
void time_delivery_log_mode();

// A broadcast time read from the FPGA and normalised, its fraction in the TOT
// state: a take (adjust 0) or an alignment to the FPGA clock (adjust 1). Step:
// the clock is set. Shm: a sample is written; only the first take after start
// sets the clock, and only when it is more than half a second off; an
// alignment in a holdover writes nothing.
void deliver_broadcast_time(const TotDate& date, const TotTime& time, int adjust);

// Shm: the lines of ntp.conf that name the unit's shared-memory clock at the
// given stratum.
std::string shm_refclock_lines(int stratum);

// Back to the state at start (tests).
void time_delivery_reset();
