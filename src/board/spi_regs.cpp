// FPGA register access over SPI: owns the SPI lock, the transport in use,
// whether the link is open and the run of failed read-backs. Every access is
// one 6-byte frame; a write may be checked by reading the register back. A
// failed exchange fails the access.
#include "board/spi_regs.h"

#include "board/spi_transport.h"
#include "log/status_log.h"

#include <array>
#include <cstdio>
#include <mutex>

namespace {

constexpr size_t kFrameLength = 6;
constexpr uint8_t kWriteCommand = 0x60;
constexpr uint8_t kReadCommand = 0xE0;
constexpr int kReadbackAttempts = 101;

using Frame = std::array<uint8_t, kFrameLength>;

std::mutex spi_lock;
const SpiTransport* transport = nullptr;
bool link_open = false;
// Failed read-back attempts: the first of a run prints the console line and
// logs once, the others are counted until a write reads back again or the
// link closes (a register that never reads back would print 101 lines a write).
LogRepeat readback_failing;

// Only the low 13 bits of a register number travel on the bus.
Frame frame_for(uint8_t command, uint32_t reg, uint32_t data) {
    return {uint8_t(command | ((reg >> 8) & 0x1F)),
            uint8_t(reg & 0xFF),
            uint8_t(data >> 24),
            uint8_t(data >> 16),
            uint8_t(data >> 8),
            uint8_t(data)};
}

uint32_t received_data(const Frame& frame) {
    return uint32_t(frame[2]) << 24 | uint32_t(frame[3]) << 16 | uint32_t(frame[4]) << 8 |
           uint32_t(frame[5]);
}

// Caller holds the SPI lock; true when the transport exchanged the frame.
bool exchange(Frame& frame) {
    return transport->exchange(frame.data(), frame.size()) == 0;
}

void close_locked() {
    if (link_open && transport->close) transport->close();
    link_open = false;
    LogRepeatEnd(readback_failing);
}

// Caller holds the SPI lock.
void readback_failed(uint32_t reg, uint32_t value) {
    if (!readback_failing.running) std::printf("SPI WRITE READBACK ERROR !!\n");
    LogRepeated(readback_failing, 3, "Register read-back fails: FPGA register %04X, %08X written\n",
                static_cast<unsigned>(reg), static_cast<unsigned>(value));
}

enum class Readback { matched, differed, failed };

// One write-then-read attempt, compared on the written value's most
// significant byte. The system writes with readback only values whose low bits
// the FPGA may report differently (status bits beside the control value), so
// every attempt compares that byte alone.
Readback write_and_check(uint32_t reg, uint32_t value) {
    Frame write = frame_for(kWriteCommand, reg, value);
    Frame read = frame_for(kReadCommand, reg, 0xFFFFFFFF);
    if (!exchange(write) || !exchange(read)) return Readback::failed;
    return (received_data(read) >> 24) == (value >> 24) ? Readback::matched : Readback::differed;
}

} // namespace

void spi_set_transport(const SpiTransport* new_transport) {
    std::lock_guard lock(spi_lock);
    close_locked();
    transport = new_transport;
}

int SpiOpen() {
    std::lock_guard lock(spi_lock);
    close_locked();
    link_open = transport != nullptr && transport->open() == 0;
    return link_open ? 0 : -1;
}

void SpiClose() {
    std::lock_guard lock(spi_lock);
    close_locked();
}

int SpiRead32(uint32_t reg, uint32_t* value) {
    Frame frame = frame_for(kReadCommand, reg, 0xFFFFFFFF);
    {
        std::lock_guard lock(spi_lock);
        if (!link_open || !exchange(frame)) return -1;
    }
    *value = received_data(frame);
    return 0;
}

int SpiWrite32(uint32_t reg, uint32_t value, int readback) {
    std::lock_guard lock(spi_lock);
    if (!link_open) return -1;
    if (!readback) {
        Frame frame = frame_for(kWriteCommand, reg, value);
        return exchange(frame) ? 0 : -1;
    }
    for (int attempt = 0; attempt < kReadbackAttempts; ++attempt) {
        const Readback result = write_and_check(reg, value);
        if (result == Readback::matched) LogRepeatEnd(readback_failing);
        if (result != Readback::differed) return result == Readback::matched ? 0 : -1;
        readback_failed(reg, value);
    }
    return -1;
}
