// The seam under the spidev transport: the system calls on the device, the
// kernel's by default, a test's stand-in otherwise.
#pragma once

struct SpidevOps {
    int (*open)(const char* path);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    int (*close)(int fd);
};

// nullptr restores the kernel's system calls.
void spi_spidev_set_ops(const SpidevOps* ops);

// SPI settings of the link to the FPGA: mode 0, 8-bit words, most significant bit
// first, at the clock that the bcm2835 transport's divider 128 gives from the
// 250 MHz core clock.
constexpr unsigned kSpidevSpeedHz = 250000000 / 128;
