// The board emulator's SPI device: owns the device's settings (mode, bit order,
// word size, speed) and turns each message into one chip-select frame to the
// simulated FPGA. The FPGA understands frames in mode 0, most significant bit
// first, in 8-bit words: a frame sent otherwise never reaches it, and the bus
// reads all ones.
#include "spidev.h"

#include "fpga.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/spi/spidev.h>
#include <mutex>

namespace {

constexpr uint32_t kLargestSpeedHz = 125000000;
constexpr size_t kLargestMessage = 4096; // the driver's buffer
constexpr size_t kTransferSize = sizeof(spi_ioc_transfer);

struct Settings {
    uint8_t mode = SPI_MODE_0;
    uint8_t bits = 8;
    uint32_t speed_hz = kLargestSpeedHz;
};

std::mutex device_lock;
Settings settings;
bool told_not_understood = false;

SpidevAnswer failed(int error) {
    SpidevAnswer answer;
    answer.error = error;
    return answer;
}

template <typename T> SpidevAnswer value_answer(uint64_t arg, size_t write_length, T value) {
    SpidevAnswer answer;
    if (write_length < sizeof value) {
        answer.write = {{arg, sizeof value}};
        return answer;
    }
    answer.data.resize(sizeof value);
    std::memcpy(answer.data.data(), &value, sizeof value);
    return answer;
}

SpidevAnswer setting_read(unsigned request, uint64_t arg, size_t write_length) {
    switch (request) {
    case SPI_IOC_RD_MODE:
        return value_answer(arg, write_length, settings.mode);
    case SPI_IOC_RD_LSB_FIRST:
        return value_answer(arg, write_length, uint8_t(settings.mode & SPI_LSB_FIRST ? 1 : 0));
    case SPI_IOC_RD_BITS_PER_WORD:
        return value_answer(arg, write_length, settings.bits);
    case SPI_IOC_RD_MAX_SPEED_HZ:
        return value_answer(arg, write_length, settings.speed_hz);
    default:
        return failed(ENOTTY);
    }
}

size_t setting_size(unsigned request) {
    switch (request) {
    case SPI_IOC_WR_MODE:
    case SPI_IOC_WR_LSB_FIRST:
    case SPI_IOC_WR_BITS_PER_WORD:
        return sizeof(uint8_t);
    case SPI_IOC_WR_MAX_SPEED_HZ:
        return sizeof(uint32_t);
    default:
        return 0;
    }
}

SpidevAnswer setting_written(unsigned request, uint64_t arg, std::span<const uint8_t> read) {
    const size_t size = setting_size(request);
    if (size == 0) return failed(ENOTTY);
    if (read.size() < size) {
        SpidevAnswer answer;
        answer.read = {{arg, size}};
        return answer;
    }
    uint32_t value = read[0];
    if (size == sizeof value) std::memcpy(&value, read.data(), size);
    if (request == SPI_IOC_WR_MODE)
        settings.mode = uint8_t(value);
    else if (request == SPI_IOC_WR_LSB_FIRST)
        settings.mode =
            uint8_t(value ? settings.mode | SPI_LSB_FIRST : settings.mode & ~SPI_LSB_FIRST);
    else if (request == SPI_IOC_WR_BITS_PER_WORD)
        settings.bits = value ? uint8_t(value) : 8;
    else if (value == 0)
        return failed(EINVAL); // no speed
    else
        settings.speed_hz = value;
    return {};
}

bool fpga_understands(const std::vector<spi_ioc_transfer>& transfers) {
    bool understood =
        (settings.mode & (SPI_CPHA | SPI_CPOL | SPI_LSB_FIRST)) == 0 && settings.bits == 8;
    for (const spi_ioc_transfer& transfer : transfers)
        understood &= transfer.bits_per_word == 0 || transfer.bits_per_word == 8;
    if (!understood && !told_not_understood)
        std::fprintf(stderr,
                     "spidev: a frame in mode %u, %s bit first, %u-bit words: the FPGA "
                     "does not understand it (mode 0, most significant first, 8 bits)\n",
                     unsigned(settings.mode & (SPI_CPHA | SPI_CPOL)),
                     settings.mode & SPI_LSB_FIRST ? "least" : "most", unsigned(settings.bits));
    told_not_understood = !understood;
    return understood;
}

// One frame for all the transfers of the message, as the driver keeps the chip
// selected through them.
SpidevAnswer message(uint64_t arg, size_t array_size, std::span<const uint8_t> read,
                     size_t write_length) {
    SpidevAnswer wanted;
    wanted.read = {{arg, array_size}};
    if (read.size() < array_size) return wanted;
    std::vector<spi_ioc_transfer> transfers(array_size / kTransferSize);
    std::memcpy(transfers.data(), read.data(), array_size);
    size_t total = 0, read_length = array_size, written_length = 0;
    for (const spi_ioc_transfer& transfer : transfers) {
        total += transfer.len;
        if (transfer.tx_buf) wanted.read.push_back({transfer.tx_buf, transfer.len});
        if (transfer.rx_buf) wanted.write.push_back({transfer.rx_buf, transfer.len});
        read_length += transfer.tx_buf ? transfer.len : 0;
        written_length += transfer.rx_buf ? transfer.len : 0;
    }
    if (total > kLargestMessage) return failed(EMSGSIZE);
    if (read.size() < read_length || write_length < written_length) return wanted;

    std::vector<uint8_t> frame;
    size_t sent = array_size;
    for (const spi_ioc_transfer& transfer : transfers) {
        if (transfer.tx_buf) {
            frame.insert(frame.end(), read.begin() + long(sent),
                         read.begin() + long(sent + transfer.len));
            sent += transfer.len;
        } else {
            frame.resize(frame.size() + transfer.len, 0);
        }
    }
    if (!fpga_understands(transfers))
        std::memset(frame.data(), 0xFF, frame.size());
    else if (!frame.empty())
        sim_fpga_transport()->exchange(frame.data(), frame.size());

    SpidevAnswer done;
    done.result = int(total);
    size_t received = 0;
    for (const spi_ioc_transfer& transfer : transfers) {
        if (transfer.rx_buf)
            done.data.insert(done.data.end(), frame.begin() + long(received),
                             frame.begin() + long(received + transfer.len));
        received += transfer.len;
    }
    return done;
}

} // namespace

SpidevAnswer spidev_ioctl(unsigned request, uint64_t arg, std::span<const uint8_t> read,
                          size_t write_length) {
    std::lock_guard lock(device_lock);
    if (_IOC_TYPE(request) != SPI_IOC_MAGIC) return failed(ENOTTY);
    if (_IOC_NR(request) == 0 && _IOC_DIR(request) == _IOC_WRITE) {
        const size_t array_size = _IOC_SIZE(request);
        if (array_size % kTransferSize != 0) return failed(EINVAL);
        return message(arg, array_size, read, write_length);
    }
    if (_IOC_DIR(request) == _IOC_READ) return setting_read(request, arg, write_length);
    return setting_written(request, arg, read);
}

void spidev_reset() {
    std::lock_guard lock(device_lock);
    settings = Settings{};
    told_not_understood = false;
}
