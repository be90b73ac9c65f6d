// The simulated FPGA on the SPI bus: decodes 6-byte frames as the board does
// and keeps the GPIO output, the TOT capture block and its latched time. The
// broadcast clock and the faults come from the simulated world; TOT arrivals
// are worked out lazily from the broadcast clock at each access, and reach the
// FPGA only while a signal and TOTs are on air. The date register holds the
// broadcast's 16-bit MJD; the sub-second register counts on from the latch and
// wraps after 4.096 s, as the board may; or, in the live mode, the three words
// run with the broadcast from the first latch on. A stall asked of the world
// holds back the next exchange, as a bus that hangs.
#include "fpga.h"

#include "os/unit_path.h"
#include "world.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {

constexpr uint32_t kGpioOutput = 0x0200;
constexpr uint32_t kGpioInput = 0x0204;
constexpr uint32_t kTotControl = 0x0300;
constexpr uint32_t kTotTime = 0x0304;
constexpr uint32_t kTotDate = 0x0308;
constexpr uint32_t kTotSubSecond = 0x030C;
constexpr uint32_t kVersion = 0x1F00;

constexpr uint32_t kCaptureEnable = 0x8000;
constexpr uint32_t kJstFlag = 0x10000;
constexpr uint32_t kSwitchBit = 0x80;
constexpr int64_t kJapanOffsetS = 9 * 3600;
constexpr int64_t kMjdOfUnixEpoch = 40587;
constexpr uint32_t kMjdField = 0xFFFF; // the broadcast carries 16 bits of MJD
constexpr int64_t kMicro = 1000000;

struct FpgaState {
    uint32_t gpio_output = 0;
    uint32_t control = 0;
    bool armed = false;
    bool jst_flag = false;
    bool latched = false;
    uint32_t date_word = 0;
    uint32_t time_word = 0;
    int64_t latch_us = 0;                // broadcast µs of the latched arrival
    std::optional<uint32_t> frozen_time; // time word held while the time is frozen
    std::optional<int64_t> evaluated_us; // broadcast µs of the previous access
    std::optional<uint32_t> last_written;
};

std::mutex fpga_lock;
FpgaState fpga;

int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

uint8_t bcd(int value) {
    return uint8_t((value / 10) << 4 | (value % 10));
}

// The date and time words of a broadcast instant.
std::pair<uint32_t, uint32_t> date_and_time_words(int64_t broadcast_us) {
    const int64_t japan_s = floor_div(broadcast_us, kMicro) + kJapanOffsetS;
    const int64_t day = floor_div(japan_s, 86400);
    const int64_t second_of_day = japan_s - day * 86400;
    return {uint32_t(day + kMjdOfUnixEpoch) & kMjdField,
            uint32_t(bcd(int(second_of_day / 3600))) << 16 |
                uint32_t(bcd(int(second_of_day / 60 % 60))) << 8 | bcd(int(second_of_day % 60))};
}

void latch_arrival(int64_t arrival_us, const SimWorld& world) {
    auto [date_word, time_word] = date_and_time_words(arrival_us);
    fpga.date_word = date_word;
    if (world.time_frozen) {
        if (!fpga.frozen_time) fpga.frozen_time = time_word;
        time_word = *fpga.frozen_time;
    }
    fpga.time_word = time_word;
    fpga.latch_us = arrival_us;
    fpga.latched = true;
    fpga.jst_flag = true;
}

// Whether a TOT that arrived at this broadcast instant reached the FPGA.
bool on_air_at(int64_t arrival_us, const SimWorld& world) {
    const int64_t arrival_clock_us = arrival_us - world.broadcast_base_us + world.clock_base_us;
    return world.signal && world.tot_on && arrival_clock_us >= world.on_air_since_us;
}

// Latches the latest TOT arrival since the previous access, when capture is
// armed. Arrivals fall on Japan-time seconds that are multiples of the period.
void catch_up(const SimWorld& world, int64_t now_us) {
    if (!world.time_frozen) fpga.frozen_time.reset();
    std::optional<int64_t> since = fpga.evaluated_us;
    fpga.evaluated_us = now_us;
    if (since && *since > now_us) since = now_us; // the broadcast set back: arrivals from now on
    if (!since || now_us <= *since || !fpga.armed) return;
    const int64_t period_us = int64_t(world.tot_period_s) * kMicro;
    const int64_t japan_now_us = now_us + kJapanOffsetS * kMicro;
    const int64_t arrival_us =
        floor_div(japan_now_us, period_us) * period_us - kJapanOffsetS * kMicro;
    if (arrival_us > *since && on_air_at(arrival_us, world)) latch_arrival(arrival_us, world);
}

// The count from the latch, or the part of the second now on a live clock.
uint32_t sub_second_word(int64_t now_us, const SimWorld& world) {
    if (!fpga.latched) return 0;
    const int64_t elapsed = world.time_word_live     ? now_us - floor_div(now_us, kMicro) * kMicro
                            : now_us > fpga.latch_us ? now_us - fpga.latch_us
                                                     : 0;
    const uint32_t ms = uint32_t(elapsed / 1000) & 0xFFF;
    const uint32_t us = uint32_t(elapsed % 1000);
    return ms << 16 | us;
}

uint32_t read_register(uint32_t address, const SimWorld& world, int64_t now_us) {
    switch (address) {
    case kGpioOutput:
        return fpga.gpio_output;
    case kGpioInput:
        return world.switch_on ? kSwitchBit : 0;
    case kVersion:
        return world.fpga_version;
    case kTotControl:
        return (fpga.control & 0xFFFF) | (fpga.jst_flag ? kJstFlag : 0);
    case kTotTime:
        return fpga.latched && world.time_word_live ? date_and_time_words(now_us).second
                                                    : fpga.time_word;
    case kTotDate:
        return fpga.latched && world.time_word_live ? date_and_time_words(now_us).first
                                                    : fpga.date_word;
    case kTotSubSecond:
        return sub_second_word(now_us, world);
    default:
        return 0;
    }
}

void log_gpio(uint32_t value) {
    if (!sandboxed()) return;
    FILE* log = unit_fopen("/sim/gpio.log", "a");
    if (!log) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::fprintf(log, "%lld.%06ld 0x%04X\n", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000,
                 value);
    std::fclose(log);
}

void write_register(uint32_t address, uint32_t value) {
    fpga.last_written = address;
    if (address == kGpioOutput) {
        fpga.gpio_output = value;
        log_gpio(value);
    } else if (address == kTotControl) {
        fpga.control = value;
        fpga.armed = (value & kCaptureEnable) != 0;
        if (fpga.armed) fpga.jst_flag = false;
    }
}

void put_data(uint8_t* frame, uint32_t value) {
    frame[2] = uint8_t(value >> 24);
    frame[3] = uint8_t(value >> 16);
    frame[4] = uint8_t(value >> 8);
    frame[5] = uint8_t(value);
}

int sim_fpga_open() {
    return 0;
}

int sim_fpga_exchange(uint8_t* frame, size_t length) {
    if (const unsigned stall_ms = sim_world_take_spi_stall_ms())
        std::this_thread::sleep_for(std::chrono::milliseconds(stall_ms));
    const SimWorld world = sim_world();
    const int64_t now_us = sim_broadcast_us();
    if (world.fpga_fault != FpgaFault::none) {
        const uint8_t fill = world.fpga_fault == FpgaFault::all_ones ? 0xFF : 0x00;
        for (size_t i = 0; i < length; ++i)
            frame[i] = fill;
        return 0;
    }
    if (length != 6) return 0;
    const uint8_t command = frame[0] & 0xE0;
    const uint32_t address = uint32_t(frame[0] & 0x1F) << 8 | frame[1];
    const uint32_t data =
        uint32_t(frame[2]) << 24 | uint32_t(frame[3]) << 16 | uint32_t(frame[4]) << 8 | frame[5];

    std::lock_guard lock(fpga_lock);
    catch_up(world, now_us);
    frame[0] = frame[1] = 0;
    if (command == 0x60) {
        write_register(address, data);
        put_data(frame, 0);
    } else if (command == 0xE0) {
        uint32_t value = read_register(address, world, now_us);
        if (world.readback_bad && fpga.last_written == address) value |= 0xFF000000;
        put_data(frame, value);
    } else {
        put_data(frame, 0);
    }
    return 0;
}

constexpr SpiTransport kSimFpgaTransport{"sim-fpga", sim_fpga_open, sim_fpga_exchange};

} // namespace

const SpiTransport* sim_fpga_transport() {
    return &kSimFpgaTransport;
}

uint32_t sim_fpga_gpio_output() {
    std::lock_guard lock(fpga_lock);
    return fpga.gpio_output;
}
