// The start of a pass: the network-init switch polling, the GPIO output
// register along the way and the network settings it may reset.
#include "board/spi_regs.h"
#include "main_fixture.h"
#include "settings/network_file.h"

namespace {

// Readings as '1' (on) and '0' (off); the steps as '.' (next), 'R' (reset), 'D' (done).
TEST_F(MainTest, ThirdConsecutiveOnReadingBeforeTheSixthOffAsksForTheReset) {
    ASSERT_EQ(0, SpiOpen());
    const char* const cases[][2] = {{"111", "..R"}, {"110111", ".....R"}, {"011010", ".....D"}};
    for (const auto& [positions, expected] : cases) {
        SwitchPoll state{};
        std::string steps;
        for (const char* on = positions; *on; ++on) {
            sim_world_apply(*on == '1' ? "switch on" : "switch off");
            EXPECT_EQ(capture_stdout([&] { steps += ".RD"[int(switch_poll_reading(state))]; }),
                      *on == '1' ? "network init sw on : 00000080\n"
                                 : "network init sw off : 00000000\n");
            EXPECT_EQ(sim_fpga_gpio_output(), *on == '1' ? 0x0200u : 0x1100u);
        }
        EXPECT_EQ(expected, steps) << positions;
    }
}

constexpr const char* kOwnNetwork =
    "[ORVNetwork]\nIP=10.9.8.7\nNetMask=255.0.0.0\nGateway=10.0.0.1\n"
    "Syslog=0.0.0.0\nsnmp=0.0.0.0\nDnsP=0.0.0.0\nDnsS=0.0.0.0\n";

TEST_F(MainTest, SwitchHeldAtPowerOnBringsBackTheFactoryNetwork) {
    sandbox.write(kNetworkFilePath, kOwnNetwork);
    sandbox.write("/usr/kelvatro/conf/ORV_Network.ini", kOwnNetwork);
    sim_world_apply("switch on");
    const std::string out = capture_stdout([] { EXPECT_EQ(0, main_init()); });

    EXPECT_EQ(3, count_of(out, "network init sw on : "));
    EXPECT_EQ(1, count_in_log("<INF> <<Network file factory set>>\n"));
    EXPECT_NE(std::string::npos, sandbox.read(kNetworkFilePath).find("IP=192.168.105.10\t"));
    EXPECT_EQ(0x0100u, sim_fpga_gpio_output());
}

TEST_F(MainTest, SwitchNeverPressedKeepsTheNetworkAndTheStateIsCleared) {
    sandbox.write(kNetworkFilePath, kOwnNetwork);
    current_state.SetDateTime = DateTime{2024, 1, 2, 3, 4, 5};
    const std::string out = capture_stdout([] { EXPECT_EQ(0, main_init()); });

    EXPECT_EQ(6, count_of(out, "network init sw off : 00000000\n"));
    EXPECT_EQ(kOwnNetwork, sandbox.read(kNetworkFilePath));
    EXPECT_EQ(10, network_settings.IP[0]);
    EXPECT_EQ(0x0100u, sim_fpga_gpio_output());
    EXPECT_EQ(1, count_in_log("<INF> M/B  MAC Addr : "));
    EXPECT_EQ(0, current_state.SetDateTime.year);
}

} // namespace
