// The seam to the FPGA register device: the kernel driver's character device
// on the unit, a model of the board in the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr const char* kRegDevicePath = "/dev/kelvatro_hwreg0";
constexpr unsigned long kRegDeviceSelect = 0xC004E003; // ioctl: select the 32-bit address

struct RegDeviceOps {
    int (*open)(const char* path);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, uint32_t* address);
    ssize_t (*read)(int fd, void* buf, size_t length);
    ssize_t (*write)(int fd, const void* buf, size_t length);
};

// nullptr restores the character device.
void reg_device_set_ops(const RegDeviceOps* ops);
const RegDeviceOps& reg_device_ops();
