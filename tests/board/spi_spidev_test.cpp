// The spidev transport against stand-in system calls: the device and its set-up
// at open, each frame as one transfer, and failures.
#include "board/spi_regs.h"
#include "board/spi_spidev.h"
#include "board/spi_transport.h"
#include "sandbox.h"

#include <cstdio>
#include <linux/spi/spidev.h>

namespace {

constexpr int kFd = 7;
std::vector<std::string> calls;
unsigned long failing_request = 0;

int fake_ioctl(int fd, unsigned long request, void* arg) {
    const auto* byte = static_cast<const uint8_t*>(arg);
    std::string call = "fd " + std::to_string(fd) + ": ";
    if (request == SPI_IOC_WR_MODE) call += "mode " + std::to_string(*byte);
    if (request == SPI_IOC_WR_LSB_FIRST) call += "lsb-first " + std::to_string(*byte);
    if (request == SPI_IOC_WR_BITS_PER_WORD) call += "bits " + std::to_string(*byte);
    if (request == SPI_IOC_WR_MAX_SPEED_HZ)
        call += "speed " + std::to_string(*static_cast<const uint32_t*>(arg));
    if (request == SPI_IOC_MESSAGE(1)) {
        auto* transfer = static_cast<spi_ioc_transfer*>(arg);
        const auto* tx = reinterpret_cast<const uint8_t*>(uintptr_t(transfer->tx_buf));
        char text[80] = "transfer of another length";
        if (transfer->len == 6)
            std::snprintf(text, sizeof text, "transfer %02X %02X %02X %02X %02X %02X at %u bits %u",
                          tx[0], tx[1], tx[2], tx[3], tx[4], tx[5], transfer->speed_hz,
                          transfer->bits_per_word);
        call += text;
        const uint8_t reply[] = {0, 0, 0x12, 0x34, 0x56, 0x78};
        std::copy(reply, reply + 6, reinterpret_cast<uint8_t*>(uintptr_t(transfer->rx_buf)));
    }
    calls.push_back(call);
    return request == failing_request ? -1 : 0;
}

constexpr SpidevOps kFake{
    [](const char* path) { return calls.push_back(std::string("open ") + path), kFd; }, fake_ioctl,
    [](int fd) { return calls.push_back("close " + std::to_string(fd)), 0; }};

class Spidev : public SandboxTest {
  protected:
    void SetUp() override {
        calls.clear();
        failing_request = 0;
        spi_spidev_set_ops(&kFake);
        spi_set_transport(spi_spidev_transport());
    }
    void TearDown() override {
        spi_set_transport(nullptr);
        spi_spidev_set_ops(nullptr);
    }
};

TEST_F(Spidev, OpensChipSelect1InMode0AndExchangesEachFrameAtOnce) {
    ASSERT_EQ(SpiOpen(), 0);
    uint32_t value = 0;
    EXPECT_EQ(SpiRead32(0xE204, &value), 0);
    EXPECT_EQ(value, 0x12345678u);
    SpiClose();
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "open /dev/spidev0.1", "fd 7: mode 0", "fd 7: lsb-first 0", "fd 7: bits 8",
                         "fd 7: speed 1953125",
                         "fd 7: transfer E2 04 FF FF FF FF at 1953125 bits 8", "close 7"}));
}

// ORV_SPIDEV names another device; a set-up the driver refuses closes it and
// fails the open.
TEST_F(Spidev, OtherDeviceAndFailures) {
    sandbox.write("/etc/default/orv-main", "ORV_SPIDEV=/dev/spidev1.0\n");
    failing_request = SPI_IOC_WR_MAX_SPEED_HZ;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(SpiOpen(), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls.front(), "open /dev/spidev1.0");
    EXPECT_EQ(calls.back(), "close 7");
}

// Off a Raspberry Pi only a configured spidev bus is used; a Pi 5 takes spidev.
TEST(SpiBusChoice, SettingThenModel) {
    EXPECT_EQ(spi_bus_for("", "Raspberry Pi 4 Model B Rev 1.5"), SpiBus::bcm2835);
    EXPECT_EQ(spi_bus_for("", "Raspberry Pi 5 Model B Rev 1.0"), SpiBus::spidev);
    EXPECT_EQ(spi_bus_for("", "Raspberry Pi Compute Module 5 Rev 1.0"), SpiBus::spidev);
    EXPECT_EQ(spi_bus_for("bcm2835", "Raspberry Pi 5 Model B Rev 1.0"), SpiBus::bcm2835);
    EXPECT_EQ(spi_bus_for("", ""), SpiBus::none);
    EXPECT_EQ(spi_bus_for("bcm2835", "QEMU Virtual Machine"), SpiBus::none);
    EXPECT_EQ(spi_bus_for("spidev", ""), SpiBus::spidev);
}

} // namespace
