// The board emulator's SPI device: the ioctls of the kernel's spidev driver that
// the unit uses, answered by the simulated FPGA. A device in user space sees the
// caller's memory only when it asks for it: the first call of an ioctl brings
// none, and each answer either names the memory that it needs (to read, and to
// write its result into) for the call to come again, or is the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// A piece of the calling process's memory.
struct UserMemory {
    uint64_t address;
    size_t length;
};

struct SpidevAnswer {
    int error = 0; // an errno: the ioctl fails with it
    // Either not empty: the ioctl comes again with this memory.
    std::vector<UserMemory> read, write;
    int result = 0;
    std::vector<uint8_t> data; // written into the write memory, in its order
};

// One call of an ioctl: `read` holds the memory that the previous answer asked
// to read, in its order; `write_length` the length of the memory it asked to
// write.
SpidevAnswer spidev_ioctl(unsigned request, uint64_t arg, std::span<const uint8_t> read,
                          size_t write_length);

// The device's settings as the driver sets them up: mode 0, most significant bit
// first, 8-bit words, the largest speed.
void spidev_reset();
