// FPGA register access over SPI: 6-byte frames, reads, and writes with an
// optional read-back check.
#pragma once

#include <cstdint>

// The FPGA registers of the unit, by the numbers callers pass (0x6000 for a
// write, 0xE000 for a read, as the top bits), and their values.
constexpr uint32_t kRegGpioOutput = 0x6200;
constexpr uint32_t kRegGpioInput = 0xE204;
constexpr uint32_t kRegFpgaVersion = 0xFF00;
constexpr uint32_t kRegTotCaptureControl = 0x6300;
constexpr uint32_t kRegTotCaptureStatus = 0xE300;
constexpr uint32_t kRegTotTime = 0xE304;
constexpr uint32_t kRegTotDate = 0xE308;
constexpr uint32_t kRegTotSubSecond = 0xE30C;

constexpr uint32_t kNetworkInitSwitch = 0x80; // GPIO input bit 7
// What a read gives when the FPGA does not answer on the bus: no register's
// value, the network-init switch included.
constexpr uint32_t kFpgaSilentWord = 0xFFFFFFFF;
constexpr uint32_t kTotCaptureArm = 0xA014;
constexpr uint32_t kTotCaptureStop = 0x0014;

// Opens the link through the transport in use (closing it first when open).
int SpiOpen();
// Releases the link: the end of a pass.
void SpiClose();
// Both return -1 when the link is not open (leaving the bus untouched) or an
// exchange failed.
int SpiRead32(uint32_t reg, uint32_t* value);
int SpiWrite32(uint32_t reg, uint32_t value, int readback);
