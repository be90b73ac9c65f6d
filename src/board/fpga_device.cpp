// The FPGA register device: owns its handle, the auxiliary register handle and
// the register device lock held around each select-and-transfer pair.
#include "board/fpga_device.h"

#include "board/device_nodes.h"
#include "board/reg_device.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace {

std::mutex device_lock;
int device_fd = -1;
int aux_handle = -1;

} // namespace

int FpgaOpen() {
    std::lock_guard lock(device_lock);
    if (device_fd != -1) {
        std::perror("FpgaOpen(): allready opened.\n");
        return -2;
    }
    const int fd = reg_device_ops().open(kRegDevicePath);
    const int error = fd < 0 ? errno : 0;
    if (fd < 0) std::perror("FpgaOpen(): can't open.\n");
    board_device_opened(BoardDevice::registers, kRegDevicePath, error);
    if (fd < 0) return -1;
    device_fd = fd;
    return 0;
}

int FpgaClose() {
    std::lock_guard lock(device_lock);
    if (reg_device_ops().close(device_fd) != 0) {
        std::perror("FpgaClose(): can't close.\n");
        return -1;
    }
    device_fd = -1;
    return 0;
}

int FpgaRead32(uint32_t address, uint32_t* value) {
    std::lock_guard lock(device_lock);
    if (device_fd == -1) {
        std::perror("FpgaRead32(): not open.\n");
        return -1;
    }
    const RegDeviceOps& ops = reg_device_ops();
    if (ops.ioctl(device_fd, kRegDeviceSelect, &address) < 0) {
        std::perror("FpgaRead32(): error ioctrl.\n");
        return -1;
    }
    uint32_t word = 0;
    const ssize_t count = ops.read(device_fd, &word, sizeof word);
    if (count == sizeof word) *value = word;
    return int(count);
}

int FpgaWrite32(uint32_t address, uint32_t value) {
    std::lock_guard lock(device_lock);
    if (device_fd == -1) {
        std::perror("FpgaWrite32(): not open.\n");
        return -1;
    }
    const RegDeviceOps& ops = reg_device_ops();
    if (ops.ioctl(device_fd, kRegDeviceSelect, &address) < 0) {
        std::perror("FpgaWrite32(): error ioctrl.\n");
        return -1;
    }
    return int(ops.write(device_fd, &value, sizeof value));
}

int fpga_device_term() {
    if (aux_handle >= 0) aux_handle = -1;
    return FpgaClose();
}
