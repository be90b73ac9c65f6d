// The simulated FPGA through the real register access: GPIO, version and the
// capture's date. The capture's timing, its arming, the TOT period, "tot off"
// and the frozen time word are exercised by the TOT step tests, an FPGA that
// reads all ones by the fpga_silent scenario.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "world.h"

#include "sandbox.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kSecond = 1000000;

uint32_t read_reg(uint32_t reg) {
    uint32_t value = 0;
    EXPECT_EQ(SpiRead32(reg, &value), 0);
    return value;
}

class SimFpga : public SandboxTest {
  protected:
    void SetUp() override {
        sim_world_reset();
        sim_clock_set_manual(true);
        spi_set_transport(sim_fpga_transport());
        ASSERT_EQ(SpiOpen(), 0);
        SpiWrite32(0x6300, 0x0014, 0); // capture off whatever an earlier test left
    }
    void TearDown() override {
        spi_set_transport(nullptr);
        sim_clock_set_manual(false);
        sim_world_reset();
    }
    void apply(const char* line) { ASSERT_EQ(sim_world_apply(line), 0) << line; }
};

// The GPIO output keeps the last write; the capture's date follows the Japan
// date across midnight.
TEST_F(SimFpga, GpioVersionAndTheDateAcrossMidnight) {
    SpiWrite32(0x6200, 0x1100, 0);
    SpiWrite32(0x6200, 0x0100, 0);
    EXPECT_EQ(read_reg(0xE200), 0x0100u);
    EXPECT_EQ(read_reg(0xFF00), 0x01020003u);
    apply("broadcast 2023-02-25 23:59:58");
    ASSERT_EQ(SpiWrite32(0x6300, 0xA014, 1), 0);
    sim_clock_advance(3 * kSecond);
    EXPECT_EQ(read_reg(0xE300), 0x1A014u);
    EXPECT_EQ(read_reg(0xE308), 60001u);
    EXPECT_EQ(read_reg(0xE304), 0x00000000u);
}

} // namespace
