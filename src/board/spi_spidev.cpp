// The SPI transport over the kernel's spidev driver (/dev/spidevB.C): owns the
// open device and the system calls it goes through. The device is set up once
// when it opens; each frame is one SPI_IOC_MESSAGE transfer.
#include "board/spi_spidev.h"

#include "board/device_nodes.h"
#include "board/spi_transport.h"
#include "os/deploy_settings.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int kernel_open(const char* path) {
    return ::open(path, O_RDWR | O_CLOEXEC);
}

int kernel_ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

constexpr SpidevOps kKernel{kernel_open, kernel_ioctl, ::close};

const SpidevOps* ops = &kKernel;
int device_fd = -1;

bool configure(int fd) {
    uint8_t mode = SPI_MODE_0;
    uint8_t lsb_first = 0;
    uint8_t bits = 8;
    uint32_t speed = kSpidevSpeedHz;
    return ops->ioctl(fd, SPI_IOC_WR_MODE, &mode) >= 0 &&
           ops->ioctl(fd, SPI_IOC_WR_LSB_FIRST, &lsb_first) >= 0 &&
           ops->ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) >= 0 &&
           ops->ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) >= 0;
}

void spidev_close() {
    if (device_fd >= 0) ops->close(device_fd);
    device_fd = -1;
}

// The cause goes to standard error, as the bcm2835 library reports its own
// (a missing device is logged with its remedy); the caller reports the failed
// open.
int spidev_open() {
    const std::string device = deploy_setting("ORV_SPIDEV");
    const int fd = ops->open(device.c_str());
    const int error = fd < 0 ? errno : 0;
    if (fd < 0) std::perror(device.c_str());
    board_device_opened(BoardDevice::spi, device, error);
    if (fd < 0) return -1;
    if (!configure(fd)) {
        std::perror(device.c_str());
        ops->close(fd);
        return -1;
    }
    device_fd = fd;
    return 0;
}

int spidev_exchange(uint8_t* frame, size_t length) {
    spi_ioc_transfer transfer{};
    transfer.tx_buf = reinterpret_cast<uintptr_t>(frame);
    transfer.rx_buf = reinterpret_cast<uintptr_t>(frame);
    transfer.len = uint32_t(length);
    transfer.speed_hz = kSpidevSpeedHz;
    transfer.bits_per_word = 8;
    return ops->ioctl(device_fd, SPI_IOC_MESSAGE(1), &transfer) < 0 ? -1 : 0;
}

constexpr SpiTransport kSpidevTransport{"spidev", spidev_open, spidev_exchange, spidev_close};

} // namespace

void spi_spidev_set_ops(const SpidevOps* new_ops) {
    ops = new_ops ? new_ops : &kKernel;
}

const SpiTransport* spi_spidev_transport() {
    return &kSpidevTransport;
}
