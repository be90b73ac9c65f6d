// Reading and setting the system clock. In a sandbox a setting is journaled,
// never applied.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// The calendar time of a local date and time (daylight saving as the zone has
// it), or -1 when it has none.
time_t local_calendar_time(int year, int month, int day, int hour, int minute, int second);

// CLOCK_MONOTONIC now, in microseconds: no setting of the system clock moves it.
int64_t monotonic_us();

// The system clock now, in nanoseconds since the epoch.
int64_t system_clock_ns();

// The system clock and CLOCK_MONOTONIC read at one instant, in nanoseconds.
struct ClockPair {
    int64_t system_ns;
    int64_t monotonic_ns;
};
// How far to move the clock, read as `now`, so that it shows time_us, the time
// at the monotonic moment at_us carried forward.
int64_t clock_offset_ns(int64_t time_us, int64_t at_us, const ClockPair& now);

// The earliest time the clock may be set to: the start (UTC) of the day the
// program was built. A source that gives an earlier time is faulty.
time_t clock_floor();
// Tests only: another floor (0: back to the build's).
void clock_floor_set(time_t floor);

// Sets the system clock to the given calendar time; returns 0, or -1 (also for
// a time before the floor, which is never set).
int set_system_clock(time_t seconds, long microseconds);

// The time to give a command that sets the clock to time_us (date -s), so that
// the clock it sets is not behind by the command's own start-up, tens of
// milliseconds on a small machine: time_us carried forward by the median time
// the last runs of such commands took on this unit to set the clock (none
// before the first run, nor in a sandbox, where commands are only journaled).
int64_t clock_command_time_us(int64_t time_us);
// Notes the time one run of a clock-setting command took to set the clock
// (run_clock_command does so for each run on the unit).
void clock_command_latency_note(int64_t us);
// When a command that was given the time given_us set the clock, in
// microseconds after its start: the clock read at read_us (monotonic, once the
// command had set it or had ended), clock_us, has run on from given_us since.
// None when that moment lies outside the command's start and the reading (it
// failed, or the clock was set otherwise).
std::optional<int64_t> clock_command_set_after_us(int64_t given_us, int64_t clock_us,
                                                  int64_t started_us, int64_t read_us);
// Tests only: forgets the runs noted.
void clock_command_latency_reset();

// Runs a command that sets the system clock (date -s) to given_us, for the
// time time_us in microseconds since the epoch at the monotonic moment at_us,
// notes how long it took to set the clock (on the unit), and sets the clock to
// time_us carried forward, precisely: on the unit as soon as the command has
// set it, and once more after it, each time by the offset from the clock as it
// then stands. Returns the command's status. In a sandbox
// the command and the setting after it are journaled, neither applied.
int run_clock_command(const std::string& command, int64_t given_us, int64_t time_us, int64_t at_us);
