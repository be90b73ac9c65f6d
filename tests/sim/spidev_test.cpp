// The board emulator's SPI device under the unit's own spidev transport, each
// ioctl carried as the kernel carries it to a device in user space: called
// first without memory, then again with the memory each answer asks for.
#include "board/spi_regs.h"
#include "board/spi_spidev.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "sandbox.h"
#include "spidev.h"
#include "world.h"

#include <linux/spi/spidev.h>

namespace {

using namespace std::string_literals;

int kernel_rounds = 0; // calls of the device in the last ioctl

uint8_t* at(uint64_t address) {
    return reinterpret_cast<uint8_t*>(uintptr_t(address));
}

int retried_ioctl(int, unsigned long request, void* arg) {
    std::vector<uint8_t> read;
    std::vector<UserMemory> write;
    size_t write_length = 0;
    for (kernel_rounds = 1; kernel_rounds <= 3; ++kernel_rounds) {
        const SpidevAnswer answer =
            spidev_ioctl(unsigned(request), uintptr_t(arg), read, write_length);
        if (answer.error != 0) return errno = answer.error, -1;
        if (answer.read.empty() && answer.write.empty()) {
            const uint8_t* data = answer.data.data();
            for (const UserMemory& piece : write) {
                std::copy_n(data, piece.length, at(piece.address));
                data += piece.length;
            }
            return answer.result;
        }
        read.clear();
        for (const UserMemory& piece : answer.read)
            read.insert(read.end(), at(piece.address), at(piece.address) + piece.length);
        write = answer.write;
        write_length = 0;
        for (const UserMemory& piece : write)
            write_length += piece.length;
    }
    return errno = EPROTO, -1;
}

constexpr SpidevOps kEmulatedDevice{
    [](const char* path) { return path == "/dev/spidev0.1"s ? 3 : -1; }, retried_ioctl,
    [](int) { return 0; }};

class EmulatedSpidev : public SandboxTest {
  protected:
    void SetUp() override {
        sim_world_reset();
        spidev_reset();
        spi_spidev_set_ops(&kEmulatedDevice);
        spi_set_transport(spi_spidev_transport());
        ASSERT_EQ(SpiOpen(), 0);
    }
    void TearDown() override {
        spi_set_transport(nullptr);
        spi_spidev_set_ops(nullptr);
    }
    template <typename T> static T setting(unsigned long request) {
        T value{};
        EXPECT_EQ(retried_ioctl(3, request, &value), 0) << request;
        return value;
    }
    static uint32_t version() {
        uint32_t value = 0;
        EXPECT_EQ(SpiRead32(0xFF00, &value), 0);
        return value;
    }
};

// The settings the transport made read back; registers are read and written
// with readback in three calls of the device each, as the FPGA means them.
TEST_F(EmulatedSpidev, SettingsOfTheTransportAndFramesToTheFpga) {
    EXPECT_EQ(setting<uint8_t>(SPI_IOC_RD_MODE), SPI_MODE_0);
    EXPECT_EQ(setting<uint8_t>(SPI_IOC_RD_LSB_FIRST), 0);
    EXPECT_EQ(setting<uint8_t>(SPI_IOC_RD_BITS_PER_WORD), 8);
    EXPECT_EQ(setting<uint32_t>(SPI_IOC_RD_MAX_SPEED_HZ), 1953125u);
    EXPECT_EQ(version(), 0x01020003u);
    EXPECT_EQ(kernel_rounds, 3);
    EXPECT_EQ(SpiWrite32(0x6200, 0x1100, 1), 0);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x1100u);
}

// Two transfers are one frame, the chip selected through both: the command in
// the first, the data in the second, and what the FPGA sends back in its place.
TEST_F(EmulatedSpidev, TransfersOfOneMessageAreOneFrame) {
    const auto message = [](std::array<uint8_t, 2> command, std::array<uint8_t, 4> data) {
        std::array<uint8_t, 4> received{};
        spi_ioc_transfer transfers[2] = {};
        transfers[0].tx_buf = uintptr_t(command.data());
        transfers[0].len = 2;
        transfers[1].tx_buf = uintptr_t(data.data());
        transfers[1].rx_buf = uintptr_t(received.data());
        transfers[1].len = 4;
        EXPECT_EQ(retried_ioctl(3, SPI_IOC_MESSAGE(2), transfers), 6);
        return received;
    };
    message({0x62, 0x00}, {0, 0, 0x45, 0});
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    EXPECT_EQ(message({0xFF, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF}),
              (std::array<uint8_t, 4>{1, 2, 0, 3}));
}

// Frames in another mode, bit order or word size never reach the FPGA: the bus
// reads all ones. Requests that the driver refuses fail with its errors.
TEST_F(EmulatedSpidev, OtherSettingsAreNotUnderstoodAndRefusedRequestsFail) {
    const struct {
        unsigned long request;
        uint8_t value;
    } others[] = {
        {SPI_IOC_WR_MODE, SPI_MODE_3}, {SPI_IOC_WR_LSB_FIRST, 1}, {SPI_IOC_WR_BITS_PER_WORD, 16}};
    testing::internal::CaptureStderr();
    for (const auto& [request, value] : others) {
        uint8_t set = value;
        ASSERT_EQ(retried_ioctl(3, request, &set), 0);
        EXPECT_EQ(version(), 0xFFFFFFFFu) << request;
        spidev_reset();
        EXPECT_EQ(version(), 0x01020003u) << request;
    }
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "the FPGA does not understand"));
    uint8_t frame[6] = {};
    spi_ioc_transfer oversized{};
    oversized.tx_buf = uintptr_t(frame);
    oversized.len = 5000;
    uint32_t zero = 0;
    const std::pair<unsigned long, void*> refused[] = {
        {SPI_IOC_MESSAGE(1), &oversized},
        {_IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, 33), &oversized},
        {SPI_IOC_WR_MAX_SPEED_HZ, &zero},
        {SPI_IOC_WR_MODE32, &zero},
        {0xC004E003, &zero}};
    const int errors[] = {EMSGSIZE, EINVAL, EINVAL, ENOTTY, ENOTTY};
    for (size_t i = 0; i < std::size(refused); ++i) {
        errno = 0;
        EXPECT_EQ(retried_ioctl(3, refused[i].first, refused[i].second), -1) << i;
        EXPECT_EQ(errno, errors[i]) << i;
    }
}

} // namespace
