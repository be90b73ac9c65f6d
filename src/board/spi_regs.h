// FPGA register access over SPI: 6-byte frames, reads, and writes with an
// optional read-back check.
#pragma once

#include <cstdint>

int SpiOpen();
int SpiRead32(uint32_t reg, uint32_t* value);
int SpiWrite32(uint32_t reg, uint32_t value, int readback);
