// The start of a pass: the network-init switch polling, the GPIO output
// register along the way and the network settings it may reset.
#include "board/spi_regs.h"
#include "main_fixture.h"
#include "settings/network_file.h"

#include <vector>

namespace {

class SwitchPollTest : public MainTest {
  protected:
    void SetUp() override {
        MainTest::SetUp();
        ASSERT_EQ(0, SpiOpen());
    }

    // Takes one reading per switch position; the steps and the GPIO output
    // value after each reading.
    void poll(const std::vector<bool>& positions, std::vector<SwitchPollStep>& steps,
              std::vector<uint32_t>& gpio) {
        SwitchPoll state{};
        for (bool on : positions) {
            sim_world_apply(on ? "switch on" : "switch off");
            steps.push_back(switch_poll_reading(state));
            gpio.push_back(sim_fpga_gpio_output());
        }
    }
};

using Step = SwitchPollStep;

size_t count_in(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(SwitchPollTest, ThirdConsecutiveOnReadingAsksForTheReset) {
    std::vector<Step> steps;
    std::vector<uint32_t> gpio;
    const std::string out = capture_stdout([&] { poll({true, true, true}, steps, gpio); });
    EXPECT_EQ((std::vector<Step>{Step::next, Step::next, Step::reset}), steps);
    EXPECT_EQ((std::vector<uint32_t>{0x0200, 0x0200, 0x0200}), gpio);
    EXPECT_EQ(3u, count_in(out, "network init sw on : 00000080\n"));
}

TEST_F(SwitchPollTest, AnOffReadingBeforeTheSixthStartsTheCountAgain) {
    std::vector<Step> steps;
    std::vector<uint32_t> gpio;
    const std::string out = capture_stdout([&] {
        poll({true, true, false, true, true, true}, steps, gpio);
    });
    EXPECT_EQ((std::vector<Step>{Step::next, Step::next, Step::next, Step::next, Step::next,
                                 Step::reset}),
              steps);
    EXPECT_EQ((std::vector<uint32_t>{0x0200, 0x0200, 0x1100, 0x0200, 0x0200, 0x0200}), gpio);
    EXPECT_EQ("network init sw on : 00000080\n"
              "network init sw on : 00000080\n"
              "network init sw off : 00000000\n"
              "network init sw on : 00000080\n"
              "network init sw on : 00000080\n"
              "network init sw on : 00000080\n",
              out);
}

TEST_F(SwitchPollTest, ReleasedAtTheSixthReadingEndsWithoutReset) {
    std::vector<Step> steps;
    std::vector<uint32_t> gpio;
    capture_stdout([&] { poll({false, true, true, false, true, false}, steps, gpio); });
    EXPECT_EQ(
        (std::vector<Step>{Step::next, Step::next, Step::next, Step::next, Step::next, Step::done}),
        steps);
    EXPECT_EQ(0x1100u, gpio.back());
}

class StartTest : public MainTest {
  protected:
    static constexpr const char* kOwnNetwork = "[ORVNetwork]\nIP=10.9.8.7\n";
};

TEST_F(StartTest, SwitchHeldAtPowerOnBringsBackTheFactoryNetwork) {
    sandbox.write(kNetworkFilePath, kOwnNetwork);
    sandbox.write("/usr/kelvatro/conf/ORV_Network.ini", kOwnNetwork);
    sim_world_apply("switch on");
    const std::string out = capture_stdout([] { EXPECT_EQ(0, main_init()); });

    EXPECT_EQ(3u, count_in(out, "network init sw on : "));
    EXPECT_EQ(0u, count_in(out, "network init sw off : "));
    EXPECT_TRUE(logged("<INF> <<Network file factory set>>\n"));
    EXPECT_NE(std::string::npos, sandbox.read(kNetworkFilePath).find("IP=192.168.105.10\t"));
    EXPECT_EQ(0x0100u, sim_fpga_gpio_output());
}

TEST_F(StartTest, SwitchNeverPressedSixOffReadingsAndTheNetworkKept) {
    sandbox.write(kNetworkFilePath, kOwnNetwork);
    const std::string out = capture_stdout([] { EXPECT_EQ(0, main_init()); });

    EXPECT_EQ(6u, count_in(out, "network init sw off : 00000000\n"));
    EXPECT_EQ(0u, count_in(out, "network init sw on : "));
    EXPECT_EQ(kOwnNetwork, sandbox.read(kNetworkFilePath));
    EXPECT_EQ(10, network_settings.IP[0]);
    EXPECT_EQ(0x0100u, sim_fpga_gpio_output());
    EXPECT_TRUE(logged("<INF> M/B  MAC Addr : "));
}

TEST_F(StartTest, ClearsTheCurrentStateOfTheLastPass) {
    current_state.SetDateTime = DateTime{2024, 1, 2, 3, 4, 5};
    current_state.ErrorStatus1[0] = 1;
    capture_stdout([] { main_init(); });
    EXPECT_EQ(0, current_state.SetDateTime.year);
    EXPECT_EQ(0u, current_state.ErrorStatus1[0]);
}

} // namespace
