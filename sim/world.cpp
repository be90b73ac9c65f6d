// The simulated world and the sim control command language.
#include "world.h"

#include "os/pace.h"
#include "sim_tuner_view.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {

std::mutex world_lock;
SimWorld world;
bool world_ready = false;

bool clock_manual = false;
int64_t manual_now_us = 0;

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

// "YYYY-MM-DD HH:MM:SS" in Japan time to UTC µs since the epoch.
bool parse_japan_time(const std::string& date, const std::string& time, int64_t& utc_us) {
    int y, mo, d, h, mi, s;
    if (std::sscanf(date.c_str(), "%d-%d-%d", &y, &mo, &d) != 3) return false;
    if (std::sscanf(time.c_str(), "%d:%d:%d", &h, &mi, &s) != 3) return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
        s > 59)
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

int apply_locked(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, a, b;
    in >> cmd >> a >> b;
    if (cmd.empty() || cmd[0] == '#') return 0;
    bool flag;
    const bool was_on_air = world.signal && world.tot_on;
    if (cmd == "signal" && on_off(a, flag))
        world.signal = flag;
    else if (cmd == "switch" && on_off(a, flag))
        world.switch_on = flag;
    else if (cmd == "tot" && on_off(a, flag))
        world.tot_on = flag;
    else if (cmd == "snr" && !a.empty())
        world.snr = std::stoi(a);
    else if (cmd == "level" && !a.empty())
        world.level = std::stoi(a);
    else if (cmd == "layers" && !a.empty())
        world.layers = std::stoi(a);
    else if (cmd == "ber" && !a.empty() && !b.empty()) {
        world.ber_a = uint32_t(std::stoul(a));
        world.ber_b = uint32_t(std::stoul(b));
    } else if (cmd == "tuner" && (a == "silent" || a == "normal"))
        world.tuner_silent = a == "silent";
    else if (cmd == "tuner" && a == "delay" && !b.empty())
        world.tuner_delay_ms = unsigned(std::stoul(b));
    else if (cmd == "readback" && (a == "bad" || a == "good"))
        world.readback_bad = a == "bad";
    else if (cmd == "fpga" && a == "ones")
        world.fpga_fault = FpgaFault::all_ones;
    else if (cmd == "fpga" && a == "zeros")
        world.fpga_fault = FpgaFault::all_zeros;
    else if (cmd == "fpga" && a == "normal")
        world.fpga_fault = FpgaFault::none;
    else if (cmd == "time-word" && (a == "frozen" || a == "running"))
        world.time_frozen = a == "frozen";
    else if (cmd == "tot-period" && !a.empty() && std::stoi(a) > 0)
        world.tot_period_s = unsigned(std::stoi(a));
    else if (cmd == "broadcast") {
        int64_t utc_us;
        if (!parse_japan_time(a, b, utc_us)) return -1;
        world.broadcast_base_us = utc_us;
        world.clock_base_us = clock_now_locked();
    } else if (cmd == "reset")
        reset_locked();
    else
        return -1;
    if (!was_on_air && world.signal && world.tot_on) world.on_air_since_us = clock_now_locked();
    return 0;
}

} // namespace

void sim_world_reset() {
    std::lock_guard lock(world_lock);
    reset_locked();
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
    int result;
    {
        std::lock_guard lock(world_lock);
        ensure_ready_locked();
        try {
            result = apply_locked(text);
        } catch (const std::exception&) {
            result = -1;
        }
    }
    if (result != 0) std::fprintf(stderr, "sim: unknown command: %s\n", text.c_str());
    return result;
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

extern "C" void sim_tuner_view(SimTunerView* view) {
    const SimWorld w = sim_world();
    view->signal = w.signal ? 1 : 0;
    view->snr = w.snr;
    view->level = w.level;
    view->layers = w.layers;
    view->ber_a = w.ber_a;
    view->ber_b = w.ber_b;
    view->silent = w.tuner_silent ? 1 : 0;
    view->delay_ms = w.tuner_delay_ms != 0 ? pace_wait_ms(w.tuner_delay_ms) : 0;
}
