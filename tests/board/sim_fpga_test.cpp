// The simulated FPGA through the real register access: GPIO, version, the TOT
// capture block on the manual sim clock, and the injected bus faults. The TOT
// period, "tot off" and the frozen time word are exercised by the TOT step tests.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "world.h"

#include "sandbox.h"

#include <gtest/gtest.h>
#include <regex>

namespace {

constexpr int64_t kMs = 1000;
constexpr int64_t kSecond = 1000000;

uint32_t read_reg(uint32_t reg) {
    uint32_t value = 0;
    EXPECT_EQ(SpiRead32(reg, &value), 0);
    return value;
}

int readback_errors_of(uint32_t reg, uint32_t value, int expected_result) {
    const std::string out =
        capture_stdout([&] { EXPECT_EQ(SpiWrite32(reg, value, 1), expected_result); });
    return int(std::count(out.begin(), out.end(), '\n'));
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
    bool jst_flag() { return (read_reg(0xE300) & 0x10000) != 0; }
    void arm() { ASSERT_EQ(SpiWrite32(0x6300, 0xA014, 1), 0); }

    // Broadcast at 12:00:00 Japan time on MJD 60000, capture armed.
    void arm_at_noon() {
        apply("broadcast 2023-02-25 12:00:00");
        arm();
    }
};

TEST_F(SimFpga, GpioOutputKeepsAndLogsEachWriteVersionRead) {
    SpiWrite32(0x6200, 0x1100, 0);
    SpiWrite32(0x6200, 0x0100, 0);
    EXPECT_EQ(read_reg(0xE200), 0x0100u);
    EXPECT_TRUE(
        std::regex_match(sandbox.read("/sim/gpio.log"),
                         std::regex("[0-9]+\\.[0-9]{6} 0x1100\n[0-9]+\\.[0-9]{6} 0x0100\n")));

    EXPECT_EQ(read_reg(0xFF00), 0x01020003u);
}

TEST_F(SimFpga, ArmedCaptureLatchesTheLatestArrivalAndCountsFromIt) {
    arm_at_noon();
    sim_clock_advance(4900 * kMs);
    EXPECT_FALSE(jst_flag());
    sim_clock_advance(100 * kMs);
    EXPECT_EQ(read_reg(0xE300), 0x1A014u);
    EXPECT_EQ(read_reg(0xE308), 60000u);
    EXPECT_EQ(read_reg(0xE304), 0x00120005u);
    sim_clock_advance(250 * kMs + 500);
    EXPECT_EQ(read_reg(0xE30C), (250u << 16) | 500u);

    sim_clock_advance(12 * kSecond + 2753 * kMs - 500); // 12:00:20.003
    EXPECT_EQ(read_reg(0xE304), 0x00120020u);
    EXPECT_EQ(read_reg(0xE30C), 3u << 16);
}

TEST_F(SimFpga, DateFollowsTheJapanDateAcrossMidnight) {
    apply("broadcast 2023-02-25 23:59:58");
    arm();
    sim_clock_advance(3 * kSecond);
    EXPECT_TRUE(jst_flag());
    EXPECT_EQ(read_reg(0xE308), 60001u);
    EXPECT_EQ(read_reg(0xE304), 0x00000000u);
}

// Without a signal, or without TOTs, no new time reaches the FPGA; one that
// arrived before they came back is not latched either.
TEST_F(SimFpga, NoNewTimeWithoutSignalOrTot) {
    arm_at_noon();
    for (const char* off : {"signal off", "tot off"}) {
        apply(off);
        sim_clock_advance(5 * kSecond + 100 * kMs); // an arrival passes
        apply("signal on");
        apply("tot on");
        EXPECT_FALSE(jst_flag()) << off;
    }
    sim_clock_advance(5 * kSecond);
    EXPECT_EQ(read_reg(0xE304), 0x00120015u);
}

TEST_F(SimFpga, FlagRisesOnlyWhileArmedAndArmingClearsIt) {
    arm_at_noon();
    sim_clock_advance(5 * kSecond);
    SpiWrite32(0x6300, 0x0014, 1);
    EXPECT_EQ(read_reg(0xE300), 0x10014u); // stopping keeps what was latched
    sim_clock_advance(20 * kSecond);
    EXPECT_EQ(read_reg(0xE304), 0x00120005u);
    arm();
    EXPECT_FALSE(jst_flag()); // the arrival at 12:00:25 came before arming
    sim_clock_advance(5 * kSecond);
    EXPECT_EQ(read_reg(0xE304), 0x00120030u);
}

TEST_F(SimFpga, SilentFpgaReadsAllOnesOrZerosAndIgnoresWrites) {
    SpiWrite32(0x6200, 0x0100, 0);
    apply("fpga ones");
    EXPECT_EQ(read_reg(0xFF00), 0xFFFFFFFFu);
    EXPECT_EQ(readback_errors_of(0x6300, 0xA014, -1), 101);
    apply("fpga zeros");
    EXPECT_EQ(read_reg(0xFF00), 0u);
    // A silent bus reading zeros passes the top-byte readback check.
    EXPECT_EQ(readback_errors_of(0x6200, 0x8900, 0), 0);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x0100u);
}

TEST_F(SimFpga, BadReadbackNeverMatchesButTheWriteLands) {
    apply("readback bad");
    EXPECT_EQ(readback_errors_of(0x6200, 0x1100, -1), 101);
    EXPECT_EQ(read_reg(0xE200), 0xFF001100u);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x1100u);
    apply("readback good");
    EXPECT_EQ(SpiWrite32(0x6200, 0x0100, 1), 0);
}

} // namespace
