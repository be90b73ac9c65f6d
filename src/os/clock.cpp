// Reading and setting the system clock. On the unit it is set with
// clock_settime; in a sandbox the setting goes to the command journal and the
// host clock is left alone.
#include "os/clock.h"

#include "os/shell.h"
#include "os/unit_path.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <sys/timex.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <system_error>
#include <thread>
#include <vector>

// Broadcast dates past January 2038 must convert and set the clock: every build
// has a 64-bit time_t (32-bit builds are made with _TIME_BITS=64).
static_assert(sizeof(time_t) >= 8, "time_t must be 64-bit");

namespace {
// The build's time in seconds since the epoch (the build system passes the
// SOURCE_DATE_EPOCH of a reproducible build, else the time of the last commit).
constexpr time_t kBuildDay = time_t(ORV_BUILD_EPOCH) / 86400 * 86400;
time_t floor_override = 0;

// The times that the last runs of clock-setting commands took (0: no run).
struct CommandLatency {
    std::array<int64_t, 8> runs_us{};
    size_t next = 0;
};
CommandLatency command_latency;

// A descriptor closed when it goes out of scope (-1: none).
struct Descriptor {
    int fd;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

// The clock, read when a command had set it.
struct ClockReading {
    int64_t clock_us = 0;
    int64_t at_us = 0; // monotonic; 0: not read
};

constexpr int64_t kNsPerSecond = 1000000000;

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// Both clocks at one instant: the system clock read between two readings of
// the monotonic one, the closest pair of a few (a reading that the thread's
// preemption cut apart is taken again).
ClockPair read_both_clocks() {
    ClockPair best{};
    int64_t best_span = INT64_MAX;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int64_t before = monotonic_ns();
        const int64_t system = system_clock_ns();
        const int64_t span = monotonic_ns() - before;
        if (span < best_span) best = {system, before + span / 2}, best_span = span;
    }
    return best;
}

// Moves the system clock by offset_ns from where it stands when the kernel
// applies it (ADJ_SETOFFSET), unless that lands before the floor; 0, or -1.
int shift_system_clock(int64_t offset_ns, int64_t system_ns) {
    if ((system_ns + offset_ns) / kNsPerSecond < clock_floor()) return -1;
    timex change{};
    change.modes = ADJ_SETOFFSET | ADJ_NANO;
    change.time.tv_sec = time_t(offset_ns / kNsPerSecond);
    change.time.tv_usec = offset_ns % kNsPerSecond;
    if (change.time.tv_usec < 0) change.time.tv_sec -= 1, change.time.tv_usec += kNsPerSecond;
    return clock_adjtime(CLOCK_REALTIME, &change) < 0 ? -1 : 0;
}

// A timer that becomes readable once the system clock is set (any setting
// cancels it), or -1.
int clock_setting_timer() {
    const int fd = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
    itimerspec tomorrow{};
    tomorrow.it_value.tv_sec = time(nullptr) + 86400;
    if (fd >= 0 &&
        timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &tomorrow, nullptr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sets the clock to time_us at the monotonic moment at_us, carried forward to
// now. On the unit the correction is worked out from one reading of both clocks
// and applied to the clock as it stands when the kernel takes it, so that a
// pause before the setting (the thread preempted, the machine starved) sets
// no error; where the kernel refuses that, the clock is set to the time.
void set_clock_carried(int64_t time_us, int64_t at_us) {
    const ClockPair now = read_both_clocks();
    const int64_t offset_ns = clock_offset_ns(time_us, at_us, now);
    if (!sandboxed() && shift_system_clock(offset_ns, now.system_ns) == 0) return;
    const int64_t now_us = time_us + (monotonic_us() - at_us);
    set_system_clock(time_t(now_us / 1000000), long(now_us % 1000000));
}

// Waits until the timer says that the clock was set, or until `stop`; then reads
// the clock so set and sets it precisely at once.
ClockReading trim_when_set(int timer, int stop, int64_t time_us, int64_t at_us) {
    std::array<pollfd, 2> fds{{{timer, POLLIN, 0}, {stop, POLLIN, 0}}};
    while (poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
    }
    if (!(fds[0].revents & POLLIN)) return {};
    const ClockPair now = read_both_clocks();
    const ClockReading reading{now.system_ns / 1000, now.monotonic_ns / 1000};
    set_clock_carried(time_us, at_us);
    return reading;
}

// The watcher of a command's run, trim_when_set on a thread that notes its
// reading; none when no thread can be had (the setting after the command remains).
std::thread start_watcher(int timer, int stop, int64_t time_us, int64_t at_us,
                          ClockReading& reading) {
    try {
        return std::thread([=, &reading] { reading = trim_when_set(timer, stop, time_us, at_us); });
    } catch (const std::system_error&) {
        return {};
    }
}
} // namespace

time_t clock_floor() {
    return floor_override != 0 ? floor_override : kBuildDay;
}

void clock_floor_set(time_t floor) {
    floor_override = floor;
}

int64_t system_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int set_system_clock(time_t seconds, long microseconds) {
    if (seconds < clock_floor()) return -1;
    if (sandboxed()) {
        char text[64];
        std::snprintf(text, sizeof text, "clock_settime %lld.%06ld",
                      static_cast<long long>(seconds), microseconds);
        journal_command(text);
        return 0;
    }
    const timespec ts{seconds, microseconds * 1000};
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : -1;
}

time_t local_calendar_time(int year, int month, int day, int hour, int minute, int second) {
    tm broken{};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    broken.tm_isdst = -1;
    return std::mktime(&broken);
}

int64_t monotonic_us() {
    return monotonic_ns() / 1000;
}

int64_t clock_offset_ns(int64_t time_us, int64_t at_us, const ClockPair& now) {
    return time_us * 1000 + (now.monotonic_ns - at_us * 1000) - now.system_ns;
}

// The median of the runs noted: on a loaded machine a run takes from tens to
// hundreds of milliseconds to set the clock, and the clock that the command
// sets is off by its run's difference from this, until the trim right after
// it. The time a run takes to exit and be waited for is not counted: it would
// set the clock ahead.
int64_t clock_command_time_us(int64_t time_us) {
    std::vector<int64_t> runs;
    std::ranges::copy_if(command_latency.runs_us, std::back_inserter(runs),
                         [](int64_t run_us) { return run_us > 0; });
    if (runs.empty()) return time_us;
    std::ranges::nth_element(runs, runs.begin() + runs.size() / 2);
    return time_us + runs[runs.size() / 2];
}

void clock_command_latency_note(int64_t us) {
    command_latency.runs_us[command_latency.next] = std::max<int64_t>(us, 1);
    command_latency.next = (command_latency.next + 1) % command_latency.runs_us.size();
}

void clock_command_latency_reset() {
    command_latency = CommandLatency{};
}

std::optional<int64_t> clock_command_set_after_us(int64_t given_us, int64_t clock_us,
                                                  int64_t started_us, int64_t read_us) {
    const int64_t set_us = read_us - (clock_us - given_us);
    if (set_us < started_us || set_us > read_us) return std::nullopt;
    return set_us - started_us;
}

// On the unit a watcher sets the clock precisely as soon as the command has set
// it, so that the clock the command set is served for the watcher's wake-up
// only, not until the command has printed, exited and been waited for.
int run_clock_command(const std::string& command, int64_t given_us, int64_t time_us,
                      int64_t at_us) {
    const Descriptor timer(sandboxed() ? -1 : clock_setting_timer());
    const Descriptor stop(timer.fd < 0 ? -1 : eventfd(0, EFD_CLOEXEC));
    ClockReading reading;
    std::thread watcher;
    if (stop.fd >= 0) watcher = start_watcher(timer.fd, stop.fd, time_us, at_us, reading);
    const int64_t started_us = monotonic_us();
    const int status = run_command(command);
    const int64_t ended_us = monotonic_us();
    if (watcher.joinable()) {
        eventfd_write(stop.fd, 1);
        watcher.join();
    }
    if (reading.at_us == 0) reading = {system_clock_ns() / 1000, ended_us};
    if (!sandboxed())
        if (const auto set_after_us =
                clock_command_set_after_us(given_us, reading.clock_us, started_us, reading.at_us))
            clock_command_latency_note(*set_after_us);
    set_clock_carried(time_us, at_us);
    return status;
}
