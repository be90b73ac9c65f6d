// The IIC bridge: owns the six-channel table and the IIC lock. A transaction
// places a request image in the bridge's transfer memory, starts it with the
// command word and polls the status register for its end. Lock order: the IIC
// lock, then the register device lock inside each register access.
#include "board/iic_bridge.h"

#include "board/fpga_device.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

constexpr int kChannels = 6;
constexpr int kMaxData = 16;
constexpr int kWriteImageLength = 24;
constexpr int kReadImageLength = 8;
constexpr uint32_t kReadDataOffset = 32;
constexpr uint32_t kClearStatus = 0xFFFFFFFF;
constexpr uint32_t kClockBase = 16250000;
constexpr int kPolls = 5;

struct IicChannel {
    uint8_t in_use;
    uint8_t port;
    uint8_t slave;
    uint32_t command_reg;
    uint32_t status_reg;
    uint32_t control_reg;
    uint32_t data_reg;
    uint8_t bitrate;
};

std::mutex iic_lock;
std::array<IicChannel, kChannels> channels{};

bool channel_open(int channel) {
    return channel >= 0 && channel < kChannels && channels[channel].in_use != 0;
}

uint32_t command_word(const IicChannel& ch) {
    const uint32_t port = ch.port & 0xF;
    return 0x18u << 24 | 0x08u << 16 | port << 12 | port << 8 | ch.slave;
}

uint32_t clock_divisor(uint32_t bitrate_khz) {
    const uint64_t hz = uint64_t(bitrate_khz) * 1000;
    return hz == 0 ? 0 : uint16_t(kClockBase / hz);
}

// Byte 4k+j of an image goes into bits 8j..8j+7 of the word at data + 4k.
void store_image(const IicChannel& ch, const uint8_t* image, int length) {
    for (int offset = 0; offset < length; offset += 4) {
        uint32_t word = 0;
        for (int j = 0; j < 4 && offset + j < length; ++j)
            word |= uint32_t(image[offset + j]) << 8 * j;
        FpgaWrite32(ch.data_reg + uint32_t(offset), word);
    }
}

void load_read_data(const IicChannel& ch, uint8_t* data, int length) {
    for (int offset = 0; offset < length; offset += 4) {
        uint32_t word = 0;
        FpgaRead32(ch.data_reg + kReadDataOffset + uint32_t(offset), &word);
        for (int j = 0; j < 4 && offset + j < length; ++j)
            data[offset + j] = uint8_t(word >> 8 * j);
    }
}

void sleep_2ms() {
    timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
}

int start_transaction(int channel, const uint8_t* image, int length) {
    const IicChannel& ch = channels[channel];
    store_image(ch, image, length);
    FpgaWrite32(ch.command_reg, command_word(ch));
    return Zentu_IIC_WaitComp(channel);
}

int write_transaction(int channel, const uint8_t* data, int count) {
    if (channel > kChannels - 1) return -1;
    if (count < 1 || count > kMaxData) return -5;
    std::array<uint8_t, kWriteImageLength> image;
    image.fill(0xFF);
    image[0] = 0xFE;
    image[1] = 0xFD;
    image[2] = channels[channel].slave;
    image[3] = uint8_t(count - 1);
    std::copy(data, data + count, image.begin() + 4);
    return start_transaction(channel, image.data(), kWriteImageLength);
}

int read_transaction(int channel, uint8_t* data, int count) {
    if (channel > kChannels - 1) return -1;
    if (count < 1 || count > kMaxData) return -5;
    const std::array<uint8_t, kReadImageLength> image{
        0xFE, 0xFD, channels[channel].slave, uint8_t((count - 1) | 0x10), 0xFF, 0xFF, 0xFF, 0xFF};
    const int result = start_transaction(channel, image.data(), kReadImageLength);
    load_read_data(channels[channel], data, count);
    return result;
}

void print_open(int channel, uint32_t bitrate_khz, const IicChannel& ch) {
    std::printf("<Debug> Zentu_IIC_Open() : fd        = %d\n", channel);
    std::printf("<Debug> Zentu_IIC_Open() : bit rate  = %dkHz\n", int(bitrate_khz));
    std::printf("<Debug> Zentu_IIC_Open() : enable    = %d\n", 1);
    std::printf("<Debug> Zentu_IIC_Open() : port_no   = 0x%02X\n", ch.port);
    std::printf("<Debug> Zentu_IIC_Open() : slave_no  = 0x%02X\n", ch.slave);
    std::printf("<Debug> Zentu_IIC_Open() : cmd  addr = 0x%08lX\n", (unsigned long)ch.command_reg);
    std::printf("<Debug> Zentu_IIC_Open() : stat addr = 0x%08lX\n", (unsigned long)ch.status_reg);
    std::printf("<Debug> Zentu_IIC_Open() : cntl addr = 0x%08lX\n", (unsigned long)ch.control_reg);
    std::printf("<Debug> Zentu_IIC_Open() : data addr = 0x%08lX\n", (unsigned long)ch.data_reg);
}

} // namespace

int Zentu_IIC_Open(const uint32_t regs[4], uint8_t port, uint8_t slave, uint32_t bitrate_khz) {
    int channel;
    IicChannel opened;
    {
        std::lock_guard lock(iic_lock);
        const auto free = std::find_if(channels.begin(), channels.end(),
                                       [](const IicChannel& ch) { return ch.in_use == 0; });
        if (free == channels.end()) return -1;
        *free =
            IicChannel{1, port, slave, regs[0], regs[1], regs[2], regs[3], uint8_t(bitrate_khz)};
        FpgaWrite32(free->status_reg, kClearStatus);
        FpgaWrite32(free->control_reg, 0x11000 | (clock_divisor(bitrate_khz) & 0xFFF));
        uint32_t control = 0;
        FpgaRead32(free->control_reg, &control);
        channel = int(free - channels.begin());
        opened = *free;
    }
    print_open(channel, bitrate_khz, opened);
    return channel;
}

int Zentu_IIC_WaitComp(int channel) {
    if (channel < 0 || channel > kChannels - 1) return -1;
    const uint32_t status_reg = channels[channel].status_reg;
    int result = -2;
    int poll = 0;
    for (; poll < kPolls; ++poll) {
        uint32_t status = 0; // a failed read counts as no bit set
        FpgaRead32(status_reg, &status);
        if (status & 0x1)
            result = 0;
        else if (status & 0x2)
            result = -3;
        else if (status & 0x4)
            result = -4;
        if (result != -2) break;
        sleep_2ms();
    }
    if (result != 0)
        std::printf("<Error> %s(): cnt=[%d] ret=[%d]\n", "Zentu_IIC_WaitComp", poll, result);
    FpgaWrite32(status_reg, kClearStatus);
    return result;
}

int Zentu_IIC_Write(int channel, const uint8_t* data, int length) {
    if (!channel_open(channel)) return -1;
    std::lock_guard lock(iic_lock);
    int result = 0;
    int sent = 0;
    for (; sent + kMaxData <= length; sent += kMaxData) {
        result = write_transaction(channel, data + sent, kMaxData);
        if (result < 0) return result;
    }
    if (sent < length) result = write_transaction(channel, data + sent, length - sent);
    return result;
}

int Zentu_IIC_WriteRead(int channel, const uint8_t* wdata, int wlength, uint8_t* rdata,
                        int rlength) {
    if (!channel_open(channel)) return -1;
    if (wlength > kMaxData) return wlength;
    if (rlength < 1 || rlength > kMaxData) return rlength;
    std::lock_guard lock(iic_lock);
    const int written = write_transaction(channel, wdata, wlength);
    if (written < 0) return written;
    const int read = read_transaction(channel, rdata, rlength);
    return read < 0 ? read : 0;
}

int Zentu_IIC_Close(int channel) {
    if (!channel_open(channel)) return -1;
    channels[channel] = IicChannel{};
    return 0;
}
