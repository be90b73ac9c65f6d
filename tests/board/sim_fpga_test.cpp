// The simulated FPGA through the real register access: GPIO, switch, version,
// the TOT capture block on the manual sim clock, and the injected faults.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "world.h"

#include "sandbox.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace {

constexpr int64_t kMs = 1000;
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
    bool jst_flag() { return (read_reg(0xE300) & 0x10000) != 0; }

    // Broadcast at 12:00:00 Japan time on MJD 60000, capture armed.
    void arm_at_noon() {
        apply("broadcast 2023-02-25 12:00:00");
        ASSERT_EQ(SpiWrite32(0x6300, 0xA014, 1), 0);
    }
};

TEST_F(SimFpga, GpioOutputKeepsAndLogsEachWrite) {
    SpiWrite32(0x6200, 0x1100, 0);
    SpiWrite32(0x6200, 0x0100, 0);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x0100u);
    EXPECT_EQ(read_reg(0xE200), 0x0100u);

    std::istringstream log(sandbox.read("/sim/gpio.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    const std::regex stamp(R"(^[0-9]+\.[0-9]{6} 0x[0-9A-F]{4}$)");
    EXPECT_TRUE(std::regex_match(lines[0], stamp)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], stamp)) << lines[1];
    EXPECT_EQ(lines[0].substr(lines[0].find(' ')), " 0x1100");
    EXPECT_EQ(lines[1].substr(lines[1].find(' ')), " 0x0100");
}

TEST_F(SimFpga, SwitchAndVersion) {
    EXPECT_EQ(read_reg(0xE204) & 0x80, 0u);
    apply("switch on");
    EXPECT_EQ(read_reg(0xE204) & 0x80, 0x80u);
    apply("switch off");
    EXPECT_EQ(read_reg(0xE204) & 0x80, 0u);
    EXPECT_EQ(read_reg(0xFF00), 0x01020003u);
}

TEST_F(SimFpga, ArmedCaptureLatchesTheNextArrival) {
    arm_at_noon();
    EXPECT_FALSE(jst_flag());
    sim_clock_advance(4900 * kMs);
    EXPECT_FALSE(jst_flag());
    sim_clock_advance(100 * kMs);
    EXPECT_TRUE(jst_flag());
    EXPECT_EQ(read_reg(0xE300), 0x1A014u);
    EXPECT_EQ(read_reg(0xE308), 60000u);
    EXPECT_EQ(read_reg(0xE304), 0x00120005u);

    sim_clock_advance(250 * kMs + 500);
    EXPECT_EQ(read_reg(0xE30C), (250u << 16) | 500u);
}

TEST_F(SimFpga, LatchTakesTheLatestArrivalAndRestartsTheSubSecondCount) {
    arm_at_noon();
    sim_clock_advance(17 * kSecond + 3 * kMs);
    EXPECT_EQ(read_reg(0xE304), 0x00120015u);
    EXPECT_EQ(read_reg(0xE30C), (2003u << 16) | 0u);
    sim_clock_advance(3 * kSecond);
    EXPECT_EQ(read_reg(0xE304), 0x00120020u);
    EXPECT_EQ(read_reg(0xE30C), (3u << 16) | 0u);
}

TEST_F(SimFpga, DateFollowsTheJapanDateAcrossMidnight) {
    apply("broadcast 2023-02-25 23:59:58");
    SpiWrite32(0x6300, 0xA014, 1);
    sim_clock_advance(3 * kSecond);
    EXPECT_EQ(read_reg(0xE308), 60001u);
    EXPECT_EQ(read_reg(0xE304), 0x00000000u);
    EXPECT_TRUE(jst_flag());
}

TEST_F(SimFpga, FlagRisesOnlyWhileArmedAndArmingClearsIt) {
    arm_at_noon();
    sim_clock_advance(5 * kSecond);
    ASSERT_TRUE(jst_flag());

    SpiWrite32(0x6300, 0x0014, 1);
    EXPECT_TRUE(jst_flag()); // stopping the capture keeps what was latched
    EXPECT_EQ(read_reg(0xE300), 0x10014u);
    SpiWrite32(0x6300, 0xA014, 1);
    EXPECT_FALSE(jst_flag());
    SpiWrite32(0x6300, 0x0014, 1);
    sim_clock_advance(20 * kSecond);
    EXPECT_FALSE(jst_flag());
    EXPECT_EQ(read_reg(0xE304), 0x00120005u);

    SpiWrite32(0x6300, 0xA014, 1);
    EXPECT_FALSE(jst_flag()); // the arrival at 12:00:25 came before arming
    sim_clock_advance(5 * kSecond);
    EXPECT_TRUE(jst_flag());
    EXPECT_EQ(read_reg(0xE304), 0x00120030u);
}

TEST_F(SimFpga, TotPeriodSetsTheArrivalInstants) {
    apply("tot-period 7");
    apply("broadcast 2023-02-25 12:00:00");
    SpiWrite32(0x6300, 0xA014, 1);
    // 12:00:00 Japan time on MJD 60000 is 1677326400 Japan seconds, 1 past a multiple of 7.
    sim_clock_advance(5 * kSecond);
    EXPECT_FALSE(jst_flag());
    sim_clock_advance(1 * kSecond);
    EXPECT_TRUE(jst_flag());
    EXPECT_EQ(read_reg(0xE304), 0x00120006u);
}

TEST_F(SimFpga, NoTotMeansNoFlag) {
    apply("tot off");
    arm_at_noon();
    sim_clock_advance(30 * kSecond);
    EXPECT_FALSE(jst_flag());
    apply("tot on");
    sim_clock_advance(5 * kSecond);
    EXPECT_TRUE(jst_flag());
    EXPECT_EQ(read_reg(0xE304), 0x00120035u);
}

TEST_F(SimFpga, FrozenTimeWordKeepsItsFirstLatch) {
    apply("time-word frozen");
    arm_at_noon();
    sim_clock_advance(5 * kSecond);
    EXPECT_EQ(read_reg(0xE304), 0x00120005u);
    SpiWrite32(0x6300, 0xA014, 1);
    sim_clock_advance(5 * kSecond + 10 * kMs);
    EXPECT_TRUE(jst_flag());
    EXPECT_EQ(read_reg(0xE304), 0x00120005u);
    EXPECT_EQ(read_reg(0xE30C), 10u << 16);
    apply("time-word running");
    sim_clock_advance(5 * kSecond);
    EXPECT_EQ(read_reg(0xE304), 0x00120015u);
}

TEST_F(SimFpga, SilentFpgaReadsAllOnesOrZerosAndIgnoresWrites) {
    SpiWrite32(0x6200, 0x0100, 0);
    apply("fpga ones");
    EXPECT_EQ(read_reg(0xE204), 0xFFFFFFFFu);
    EXPECT_EQ(read_reg(0xFF00), 0xFFFFFFFFu);
    SpiWrite32(0x6200, 0x4500, 0);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x0100u);
    std::string out = capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6300, 0xA014, 1), -1); });
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 101);

    apply("fpga zeros");
    EXPECT_EQ(read_reg(0xE300), 0u);
    EXPECT_EQ(read_reg(0xFF00), 0u);
    // A silent bus reading zeros passes the top-byte readback check.
    out = capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6200, 0x8900, 1), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(sim_fpga_gpio_output(), 0x0100u);

    apply("fpga normal");
    EXPECT_EQ(read_reg(0xFF00), 0x01020003u);
    const std::string log = sandbox.read("/sim/gpio.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

TEST_F(SimFpga, BadReadbackNeverMatches) {
    apply("readback bad");
    const std::string out = capture_stdout([] { EXPECT_EQ(SpiWrite32(0x6200, 0x1100, 1), -1); });
    std::string expected;
    for (int i = 0; i < 101; ++i)
        expected += "SPI WRITE READBACK ERROR !!\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(read_reg(0xE200), 0xFF001100u);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x1100u);
    EXPECT_EQ(read_reg(0xFF00), 0x01020003u); // other registers read as usual
    apply("readback good");
    EXPECT_EQ(SpiWrite32(0x6200, 0x0100, 1), 0);
}

} // namespace
