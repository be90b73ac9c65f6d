// FPGA register access over SPI: owns the SPI lock, the transport in use and
// whether the link is open. Every access is one 6-byte frame; a write may be
// checked by reading the register back.
#include "board/spi_regs.h"

#include "board/spi_transport.h"

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

// Caller holds the SPI lock.
void exchange(Frame& frame) {
    transport->exchange(frame.data(), frame.size());
}

// One write-then-read attempt; true when the register reads back the written
// value's most significant byte. The system writes with readback only values
// whose low bits the FPGA may report differently (status bits beside the
// control value), so every attempt compares that byte alone.
bool write_and_check(uint32_t reg, uint32_t value) {
    Frame write = frame_for(kWriteCommand, reg, value);
    exchange(write);
    Frame read = frame_for(kReadCommand, reg, 0xFFFFFFFF);
    exchange(read);
    return (received_data(read) >> 24) == (value >> 24);
}

} // namespace

void spi_set_transport(const SpiTransport* new_transport) {
    std::lock_guard lock(spi_lock);
    transport = new_transport;
    link_open = false;
}

int SpiOpen() {
    std::lock_guard lock(spi_lock);
    link_open = transport != nullptr && transport->open() == 0;
    return link_open ? 0 : -1;
}

int SpiRead32(uint32_t reg, uint32_t* value) {
    Frame frame = frame_for(kReadCommand, reg, 0xFFFFFFFF);
    {
        std::lock_guard lock(spi_lock);
        if (!link_open) return -1;
        exchange(frame);
    }
    *value = received_data(frame);
    return 0;
}

int SpiWrite32(uint32_t reg, uint32_t value, int readback) {
    std::lock_guard lock(spi_lock);
    if (!link_open) return -1;
    if (!readback) {
        Frame frame = frame_for(kWriteCommand, reg, value);
        exchange(frame);
        return 0;
    }
    for (int attempt = 0; attempt < kReadbackAttempts; ++attempt) {
        if (write_and_check(reg, value)) return 0;
        std::printf("SPI WRITE READBACK ERROR !!\n");
    }
    return -1;
}
