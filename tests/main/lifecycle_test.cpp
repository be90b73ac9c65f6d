// The start of a pass: the network-init switch polling, the GPIO output
// register along the way and the network settings it may reset.
#include "board/spi_regs.h"
#include "main_fixture.h"
#include "settings/network_file.h"

#include <vector>

namespace {

using Step = SwitchPollStep;

struct PollCase {
    std::vector<bool> positions; // one per reading
    std::vector<Step> steps;
    std::vector<uint32_t> gpio; // the GPIO output after each reading
};

class SwitchPollTest : public MainTest {};

TEST_F(SwitchPollTest, ThirdConsecutiveOnReadingBeforeTheSixthOffAsksForTheReset) {
    const Step n = Step::next;
    const PollCase cases[] = {
        {{true, true, true}, {n, n, Step::reset}, {0x0200, 0x0200, 0x0200}},
        {{true, true, false, true, true, true},
         {n, n, n, n, n, Step::reset},
         {0x0200, 0x0200, 0x1100, 0x0200, 0x0200, 0x0200}},
        {{false, true, true, false, true, false},
         {n, n, n, n, n, Step::done},
         {0x1100, 0x0200, 0x0200, 0x1100, 0x0200, 0x1100}},
    };
    ASSERT_EQ(0, SpiOpen());
    for (const PollCase& c : cases) {
        SwitchPoll state{};
        std::vector<Step> steps;
        std::vector<uint32_t> gpio;
        std::string expected_out;
        const std::string out = capture_stdout([&] {
            for (bool on : c.positions) {
                sim_world_apply(on ? "switch on" : "switch off");
                steps.push_back(switch_poll_reading(state));
                gpio.push_back(sim_fpga_gpio_output());
                expected_out +=
                    on ? "network init sw on : 00000080\n" : "network init sw off : 00000000\n";
            }
        });
        EXPECT_EQ(c.steps, steps);
        EXPECT_EQ(c.gpio, gpio);
        EXPECT_EQ(expected_out, out);
    }
}

using StartTest = MainTest;
constexpr const char* kOwnNetwork = "[ORVNetwork]\nIP=10.9.8.7\n";

TEST_F(StartTest, SwitchHeldAtPowerOnBringsBackTheFactoryNetwork) {
    sandbox.write(kNetworkFilePath, kOwnNetwork);
    sandbox.write("/usr/kelvatro/conf/ORV_Network.ini", kOwnNetwork);
    sim_world_apply("switch on");
    const std::string out = capture_stdout([] { EXPECT_EQ(0, main_init()); });

    EXPECT_EQ(3, count_of(out, "network init sw on : "));
    EXPECT_EQ(0, count_of(out, "network init sw off : "));
    EXPECT_TRUE(logged("<INF> <<Network file factory set>>\n"));
    EXPECT_NE(std::string::npos, sandbox.read(kNetworkFilePath).find("IP=192.168.105.10\t"));
    EXPECT_EQ(0x0100u, sim_fpga_gpio_output());
}

TEST_F(StartTest, SwitchNeverPressedKeepsTheNetworkAndTheStateIsCleared) {
    sandbox.write(kNetworkFilePath, kOwnNetwork);
    current_state.SetDateTime = DateTime{2024, 1, 2, 3, 4, 5};
    const std::string out = capture_stdout([] { EXPECT_EQ(0, main_init()); });

    EXPECT_EQ(6, count_of(out, "network init sw off : 00000000\n"));
    EXPECT_EQ(0, count_of(out, "network init sw on : "));
    EXPECT_EQ(kOwnNetwork, sandbox.read(kNetworkFilePath));
    EXPECT_EQ(10, network_settings.IP[0]);
    EXPECT_EQ(0x0100u, sim_fpga_gpio_output());
    EXPECT_TRUE(logged("<INF> M/B  MAC Addr : "));
    EXPECT_EQ(0, current_state.SetDateTime.year);
}

} // namespace
