// The eth0 probes on the host's own interfaces: reads only.
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

} // namespace
