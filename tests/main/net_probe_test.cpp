// The eth0 probes on the host's own interfaces: reads only.
#include "main/net_probe.h"

#include "main_fixture.h"

#include <array>

namespace {

TEST(NetProbeTest, GetMacReadsLoopbackAndReportsAMissingInterface) {
    std::array<uint8_t, 6> mac = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(0, get_mac(mac.data(), "lo"));
    EXPECT_EQ(mac, (std::array<uint8_t, 6>{}));
    const std::string out = capture_stdout([&] { EXPECT_EQ(-1, get_mac(mac.data(), "orvnone0")); });
    EXPECT_EQ("get_mac ioctl error\n", out);
}

} // namespace
