// The eth0 probes on a scripted interface: the link check's rhythm of lines,
// results and autonegotiation restarts, the link-down bit of the tick, the
// hardware address; and the kernel's side of the seam in a sandbox.
#include "main/main_loop.h"

#include "main_fixture.h"

namespace {

const Lines kRestart = {"GSET", "SSET autoneg 0 advertise 0x2F", "SSET autoneg 1 advertise 0xF"};

// One check a character: the link reading ('U' up, 'D' down, 'X' the request
// fails), whether autonegotiation restarts ('R'), the line logged ('u'
// link-up, 'd' link-down). The first check logs though the link was never
// down; a failed request counts nothing; a new outage restarts at once.
TEST_F(MainTest, LinkCheckLogsEachChangeOnceAndRestartsAtTheFirstAndEverySixthDownCheck) {
    fake_eth0.links = "UUDDDDDDDXDUD";
    const std::string restarts = "..R.....R...R";
    const std::string logged = "u.d........ud";
    for (size_t check = 0; check < restarts.size(); ++check) {
        SCOPED_TRACE(testing::Message() << "check " << check + 1);
        sandbox.remove("/var/www/StatusLog.txt");
        fake_eth0.requests.clear();
        const char link = fake_eth0.links[check];
        capture_stdout([&] { EXPECT_EQ(link_check(), link == 'U' ? 0 : -1); });
        const char* line =
            logged[check] == 'u' ? " <INF> eth0 link-up\n" : " <ERR> eth0 link-down\n";
        EXPECT_EQ(sandbox.log_lines(), logged[check] == '.' ? Lines{} : Lines{line});
        Lines requests = {std::string("GLINK ") + link};
        if (restarts[check] == 'R')
            requests.insert(requests.end(), kRestart.begin(), kRestart.end());
        EXPECT_EQ(fake_eth0.requests, requests);
    }
}

TEST_F(MainTest, LinkCheckEndsTheRestartAtAFailedRequestAndFailsWithoutASocket) {
    const std::tuple<bool, bool, bool, Lines> cases[] = {
        {true, false, false, {"GLINK D", "GSET"}},
        {false, true, false, {"GLINK D", "GSET", "SSET autoneg 0 advertise 0x2F"}},
        {false, false, true, {}},
    };
    for (const auto& [gset_fails, sset_fails, socket_fails, requests] : cases) {
        link_check_reset();
        fake_eth0 = {};
        fake_eth0.links = "D";
        std::tie(fake_eth0.gset_fails, fake_eth0.sset_fails, fake_eth0.socket_fails) =
            std::tie(gset_fails, sset_fails, socket_fails);
        capture_stdout([] { EXPECT_EQ(link_check(), -1); });
        EXPECT_EQ(fake_eth0.requests, requests);
    }
    EXPECT_EQ(sandbox.log_count("eth0 link-down"), 2);
}

TEST_F(MainTest, TickSetsTheLinkDownBitWhileTheCheckFails) {
    fake_eth0.links = "DXU";
    for (const char* word : {"\n80=0001\n", "\n80=0001\n", "\n80=0000\n"}) {
        capture_stdout([] { main_tick(); });
        EXPECT_EQ(count(sandbox.read(kCurrentFilePath), word), 1) << word;
    }
}

// Reads on the host's loopback; a settings write never reaches an interface.
TEST_F(MainTest, KernelSeamReadsAddressesAndJournalsSettingsWritesInASandbox) {
    net_probe_set_ops(nullptr);
    std::array<uint8_t, 6> mac = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(get_mac(mac.data(), "lo"), 0);
    EXPECT_EQ(mac, (std::array<uint8_t, 6>{}));

    ethtool_cmd settings{};
    settings.cmd = ETHTOOL_SSET;
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "eth0");
    ifr.ifr_data = reinterpret_cast<char*>(&settings);
    EXPECT_EQ(net_probe_ops().ioctl(-1, SIOCETHTOOL, &ifr), 0);
    settings.autoneg = AUTONEG_ENABLE;
    settings.advertising = 0xF;
    EXPECT_EQ(net_probe_ops().ioctl(-1, SIOCETHTOOL, &ifr), 0);
    EXPECT_EQ(sandbox.journal(),
              (Lines{"ethtool -s eth0 autoneg off", "ethtool -s eth0 advertise 0xf autoneg on"}));
}

} // namespace
