// The eth0 probes on the host's own interfaces: reads only; in a sandbox a
// restart of autonegotiation is journaled, never applied.
#include "main/net_probe.h"

#include "main_fixture.h"

#include <algorithm>

namespace {

using NetProbeTest = MainTest;

TEST_F(NetProbeTest, LoopbackHasAnAllZeroHardwareAddress) {
    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(0, get_mac(mac, "lo"));
    EXPECT_TRUE(std::all_of(mac, mac + 6, [](uint8_t b) { return b == 0; }));
}

TEST_F(NetProbeTest, MissingInterfaceFailsWithItsConsoleLine) {
    uint8_t mac[6] = {};
    const std::string out = capture_stdout([&] { EXPECT_EQ(-1, get_mac(mac, "orvnone0")); });
    EXPECT_EQ("get_mac ioctl error\n", out);
}

TEST_F(NetProbeTest, LinkStateIsLoggedOnlyWhenItChanges) {
    const int first = link_check();
    const int second = link_check();
    const int up_lines = count_in_log("<INF> eth0 link-up\n");
    const int down_lines = count_in_log("<ERR> eth0 link-down\n");
    EXPECT_LE(up_lines + down_lines, 1);
    if (first == 0) {
        EXPECT_EQ(1, up_lines);
    }
    if (down_lines == 1) {
        EXPECT_EQ(-1, second);
        const auto journal = sandbox.journal();
        EXPECT_NE(journal.end(),
                  std::find(journal.begin(), journal.end(), "ethtool -s eth0 autoneg off"));
    }
}

} // namespace
