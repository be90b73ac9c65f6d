// How broadcast time reaches the host clock, as ORV_TIME_DELIVERY says: set with
// /bin/date at every take ("step", the unit's own), or handed to the NTP daemon
// as samples of its shared-memory reference clock ("shm", unit ORV_SHM_UNIT),
// which the daemon disciplines the clock with and serves.
#pragma once

#include "tot/tot_capture.h"

// Shm delivery with a usable unit; step otherwise.
bool time_delivery_shm();
// Shm: claims the unit's segment, before the NTP daemon is ever started. 0, or
// -1 when the unit has no segment of its own (logged).
int time_delivery_claim();
// Whether the delivery can serve: step always, shm only with a segment of the
// unit's own.
bool time_delivery_ready();
// Logs a delivery or unit that cannot be used (step then runs), at the start of
// a pass: once until the settings change.
void time_delivery_report();
// The unit of the shared-memory segment with shm delivery, else -1.
int shm_delivery_unit();
// Logs how broadcast time reaches the host clock (at the start of the time service).
void time_delivery_log_mode();

// What a broadcast time handed to the system stands for.
enum class BroadcastTime { take, alignment }; // the JST flag's, the FPGA clock's
// A broadcast time read from the FPGA and normalised, its fraction in
// tot_capture: a take or an alignment to the FPGA clock. Step:
// the clock is set. Shm: a sample is written; only the first take after start
// sets the clock, and only when it is more than half a second off; an
// alignment in a holdover writes nothing.
void deliver_broadcast_time(const TotDate& date, const TotTime& time, BroadcastTime kind);

// Sets the clock with /bin/date: date and time as plain integers, the fraction
// from tot_capture, adjust 1 for an alignment to the FPGA clock. The
// command's status.
int set_system_time(int year, int month, int day, int hour, int minute, int second, int adjust);

// Back to the state at start (tests).
void time_delivery_reset();
