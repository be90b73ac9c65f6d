// The simulated world, the sim control command language, and what the tuner
// sees of the world, published to a file for a tuner library in another process.
#include "world.h"

#include "os/pace.h"
#include "sim_tuner_view.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

namespace {

std::mutex world_lock;
SimWorld world;
bool world_ready = false;

bool clock_manual = false;
int64_t manual_now_us = 0;
std::string view_path;

// The broadcast is a clock of its own: the raw monotonic clock, which no NTP
// daemon of the machine steers (neither its steps nor its frequency corrections).
int64_t host_monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t host_wall_us() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Monotonic host time scaled so that one tick of the unit is one sim second.
int64_t scaled_clock_us() {
    static const int64_t origin = host_monotonic_us();
    const int64_t elapsed = host_monotonic_us() - origin;
    return elapsed * 1000000 / int64_t(pace_tick_us());
}

int64_t clock_now_locked() {
    return clock_manual ? manual_now_us : scaled_clock_us();
}

void reset_locked() {
    world = SimWorld{};
    world.clock_base_us = clock_now_locked();
    world.broadcast_base_us = host_wall_us();
    world_ready = true;
}

void ensure_ready_locked() {
    if (!world_ready) reset_locked();
}

int64_t broadcast_now_locked() {
    return world.broadcast_base_us + (clock_now_locked() - world.clock_base_us);
}

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// days_from_civil), in 64 bits whatever the width of time_t.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Three numbers that make up the whole text in the format, or false
// ("2026-12-08x" is no date).
bool scan_whole(const std::string& text, const char* format, int& a, int& b, int& c) {
    int used = -1;
    return std::sscanf(text.c_str(), format, &a, &b, &c, &used) == 3 && used == int(text.size());
}

// A day that the month has (no February 31).
bool real_date(int y, int m, int d) {
    if (m < 1 || m > 12 || d < 1) return false;
    const int64_t next = m == 12 ? days_from_civil(y + 1, 1, 1) : days_from_civil(y, m + 1, 1);
    return d <= next - days_from_civil(y, m, 1);
}

// "YYYY-MM-DD HH:MM:SS" in Japan time to UTC µs since the epoch.
bool parse_japan_time(const std::string& date, const std::string& time, int64_t& utc_us) {
    int y, mo, d, h, mi, s;
    if (!scan_whole(date, "%d-%d-%d%n", y, mo, d) || !scan_whole(time, "%d:%d:%d%n", h, mi, s))
        return false;
    if (!real_date(y, mo, d) || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
        return false;
    const int64_t seconds = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    utc_us = (seconds - 9 * 3600) * 1000000;
    return true;
}

bool on_off(const std::string& word, bool& out) {
    if (word == "on")
        out = true;
    else if (word == "off")
        out = false;
    else
        return false;
    return true;
}

// A whole decimal number from min to max.
bool number(const std::string& text, long long min, long long max, long long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && out >= min && out <= max;
}

// Applies one command; returns why it was refused, or nullptr.
const char* apply_locked(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, a, b, extra;
    in >> cmd >> a >> b >> extra;
    if (!extra.empty()) return "too many words";
    bool flag;
    long long n = 0, m = 0;
    const bool was_on_air = world.signal && world.tot_on;
    if (cmd == "signal" || cmd == "switch" || cmd == "tot") {
        if (!on_off(a, flag) || !b.empty()) return "takes on or off";
        (cmd == "signal" ? world.signal : cmd == "switch" ? world.switch_on : world.tot_on) = flag;
    } else if (cmd == "link") {
        if ((a != "up" && a != "down") || !b.empty()) return "takes up or down";
        world.link_up = a == "up";
    } else if (cmd == "snr") {
        if (!number(a, INT32_MIN, INT32_MAX, n) || !b.empty()) return "takes a number of dB";
        world.snr = int(n);
    } else if (cmd == "level") {
        if (!number(a, 0, 255, n) || !b.empty()) return "takes a number from 0 to 255";
        world.level = int(n);
    } else if (cmd == "layers") {
        if (!number(a, INT32_MIN, INT32_MAX, n) || !b.empty()) return "takes a number";
        world.layers = int(n);
    } else if (cmd == "ber") {
        if (!number(a, 0, UINT32_MAX, n) || !number(b, 0, UINT32_MAX, m))
            return "takes two numbers of 1e-5 (the tuner reports up to 100000)";
        world.ber_a = uint32_t(n);
        world.ber_b = uint32_t(m);
    } else if (cmd == "tuner" && (a == "silent" || a == "normal") && b.empty())
        world.tuner_silent = a == "silent";
    else if (cmd == "tuner" && a == "delay") {
        if (!number(b, 0, 600000, n)) return "delay takes milliseconds from 0 to 600000";
        world.tuner_delay_ms = unsigned(n);
    } else if (cmd == "tuner")
        return "takes silent, normal or delay MS";
    else if (cmd == "spi" && a == "stall") {
        if (!number(b, 0, 600, n)) return "stall takes seconds from 0 to 600";
        world.spi_stall_ms = unsigned(n) * 1000;
    } else if (cmd == "spi")
        return "takes stall SECONDS";
    else if (cmd == "readback" && (a == "bad" || a == "good") && b.empty())
        world.readback_bad = a == "bad";
    else if (cmd == "readback")
        return "takes bad or good";
    else if (cmd == "fpga" && b.empty() && (a == "ones" || a == "zeros" || a == "normal"))
        world.fpga_fault = a == "ones"    ? FpgaFault::all_ones
                           : a == "zeros" ? FpgaFault::all_zeros
                                          : FpgaFault::none;
    else if (cmd == "fpga")
        return "takes ones, zeros or normal";
    else if (cmd == "time-word" && (a == "frozen" || a == "running" || a == "live") && b.empty()) {
        world.time_frozen = a == "frozen";
        world.time_word_live = a == "live";
    } else if (cmd == "time-word")
        return "takes frozen, running or live";
    else if (cmd == "tot-period") {
        if (!number(a, 1, 3600, n) || !b.empty()) return "takes seconds from 1 to 3600";
        world.tot_period_s = unsigned(n);
    } else if (cmd == "broadcast" && (a.starts_with('+') || a.starts_with('-')) && b.empty()) {
        char* end = nullptr;
        const double ahead_s = std::strtod(a.c_str(), &end);
        if (*end != '\0' || !(std::abs(ahead_s) < 1e9)) return "takes +SECONDS or -SECONDS";
        world.broadcast_base_us = host_wall_us() + int64_t(ahead_s * 1e6);
        world.clock_base_us = clock_now_locked();
    } else if (cmd == "broadcast") {
        int64_t utc_us;
        if (!parse_japan_time(a, b, utc_us)) return "takes YYYY-MM-DD HH:MM:SS (Japan time)";
        world.broadcast_base_us = utc_us;
        world.clock_base_us = clock_now_locked();
    } else if (cmd == "reset" && a.empty())
        reset_locked();
    else
        return "unknown command";
    if (!was_on_air && world.signal && world.tot_on) world.on_air_since_us = clock_now_locked();
    return nullptr;
}

SimTunerView tuner_view_of(const SimWorld& w) {
    return SimTunerView{w.signal ? 1 : 0,
                        w.snr,
                        w.level,
                        w.layers,
                        w.ber_a,
                        w.ber_b,
                        w.tuner_silent ? 1 : 0,
                        w.tuner_delay_ms != 0 ? pace_wait_ms(w.tuner_delay_ms) : 0};
}

// Written whole: the reader finds the old view or the new one.
void publish_view_locked() {
    if (view_path.empty()) return;
    const SimTunerView view = tuner_view_of(world);
    const std::string temporary = view_path + ".new";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    const bool written = file && std::fwrite(&view, sizeof view, 1, file) == 1;
    if ((file && std::fclose(file) != 0) || !written ||
        std::rename(temporary.c_str(), view_path.c_str()) != 0)
        std::perror(view_path.c_str());
}

} // namespace

void sim_world_reset() {
    std::lock_guard lock(world_lock);
    reset_locked();
    publish_view_locked();
}

SimWorld sim_world() {
    std::lock_guard lock(world_lock);
    ensure_ready_locked();
    return world;
}

int sim_world_apply(std::string_view line) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.find_first_not_of(" \t") == std::string::npos ||
        text[text.find_first_not_of(" \t")] == '#')
        return 0;
    const char* refusal;
    {
        std::lock_guard lock(world_lock);
        ensure_ready_locked();
        refusal = apply_locked(text);
        publish_view_locked();
    }
    if (refusal) {
        std::fprintf(stderr, "sim: refused: %s: %s\n", text.c_str(), refusal);
        return -1;
    }
    std::printf("sim: done: %s\n", text.c_str());
    std::fflush(stdout);
    return 0;
}

int sim_world_apply_file(const std::string& path) {
    std::ifstream in(path);
    int unknown = 0;
    for (std::string line; std::getline(in, line);)
        if (sim_world_apply(line) != 0) ++unknown;
    return unknown;
}

int64_t sim_clock_us() {
    std::lock_guard lock(world_lock);
    return clock_now_locked();
}

void sim_clock_set_manual(bool manual) {
    std::lock_guard lock(world_lock);
    ensure_ready_locked();
    if (manual && !clock_manual) {
        // The manual clock takes over where the scaled clock stands.
        manual_now_us = scaled_clock_us();
    }
    clock_manual = manual;
}

void sim_clock_advance(int64_t us) {
    std::lock_guard lock(world_lock);
    manual_now_us += us;
}

int64_t sim_broadcast_us() {
    std::lock_guard lock(world_lock);
    ensure_ready_locked();
    return broadcast_now_locked();
}

unsigned sim_world_take_spi_stall_ms() {
    std::lock_guard lock(world_lock);
    const unsigned stall_ms = world.spi_stall_ms;
    world.spi_stall_ms = 0;
    return stall_ms != 0 ? pace_wait_ms(stall_ms) : 0;
}

void sim_world_publish_view(std::string path) {
    std::lock_guard lock(world_lock);
    view_path = std::move(path);
}

extern "C" void sim_tuner_view(SimTunerView* view) {
    *view = tuner_view_of(sim_world());
}
