// The spidev transport against stand-in system calls: another device and
// failures (tests/sim/spidev_test.cpp runs it against the board emulator's
// device: its set-up and frames as the FPGA takes them).
#include "board/spi_regs.h"
#include "board/spi_spidev.h"
#include "board/spi_transport.h"
#include "sandbox.h"

#include <linux/spi/spidev.h>

namespace {

constexpr int kFd = 7;
std::vector<std::string> calls;
unsigned long failing_request = 0;

int fake_ioctl(int, unsigned long request, void*) {
    calls.push_back("ioctl");
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
