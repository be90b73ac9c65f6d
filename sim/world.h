// The simulated world that the simulated FPGA, IIC slaves and tuner share: the
// broadcast, the reception, the switch and the injected faults, changed by the
// sim control commands.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

enum class FpgaFault { none, all_ones, all_zeros };

struct SimWorld {
    // Reception.
    bool signal = true;
    int snr = 28;
    int level = 180;
    int layers = 2;
    uint32_t ber_a = 0;
    uint32_t ber_b = 0;
    bool tuner_silent = false;
    unsigned tuner_delay_ms = 0; // answers held back this long (unit time)
    // Board.
    bool switch_on = false;
    bool link_up = true; // eth0's link
    uint8_t mac[6] = {0x02, 0x00, 0x4F, 0x52, 0x56, 0x01};
    FpgaFault fpga_fault = FpgaFault::none;
    bool readback_bad = false;
    uint32_t fpga_version = 0x01020003;
    unsigned spi_stall_ms = 0; // the next SPI exchange is held back this long (unit time)
    // Broadcast TOT.
    bool tot_on = true;
    unsigned tot_period_s = 5;
    bool time_frozen = false;
    // The FPGA's clock runs from its first latch: the time, date and sub-second
    // words read the broadcast time now, not the latched one.
    bool time_word_live = false;
    // The sim-clock instant since which TOTs reach the FPGA: a signal and TOTs
    // on air without a break.
    int64_t on_air_since_us = INT64_MIN;
    // The broadcast clock: broadcast_base_us (UTC, µs since the epoch) at
    // sim-clock instant clock_base_us; it runs with the sim clock.
    int64_t broadcast_base_us = 0;
    int64_t clock_base_us = 0;
};

// Restores the defaults; the broadcast clock shows the host's time.
void sim_world_reset();
// A copy of the world, taken under its lock.
SimWorld sim_world();
// Applies one sim control command and acknowledges it on standard output
// ("sim: done: <line>"). Returns 0, or -1 for a line refused: unknown, or a
// value out of its range ("sim: refused: <line>: <why>" on standard error).
// Blank lines and comments are skipped.
int sim_world_apply(std::string_view line);
// Applies every line of a file; missing file: nothing. Returns the number of
// lines it did not know.
int sim_world_apply_file(const std::string& path);
// The stall of the next SPI exchange in milliseconds, scaled to the pace; taken
// once: the exchange after it is not held back.
unsigned sim_world_take_spi_stall_ms();
// Publishes what the tuner sees of the world to this host path after every
// change, for a tuner library in another process; empty: not published.
void sim_world_publish_view(std::string path);

// The sim clock in µs: the host's monotonic clock scaled to the pace (one sim
// second per tick), or a manual clock that tests advance.
int64_t sim_clock_us();
void sim_clock_set_manual(bool manual);
void sim_clock_advance(int64_t us);
// The broadcast time now, UTC µs since the epoch.
int64_t sim_broadcast_us();
