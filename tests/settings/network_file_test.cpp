// The network settings file and the network apply: factory files, reading,
// the printout, the prefix length, the commands, the resolver file and the
// dhcpcd entries edited by the real text tools in the sandbox.
#include "sandbox.h"
#include "settings/network_file.h"
#include "settings/system_file.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr const char* kDhcpcd = "/var/kelvatro/conf/dhcpcd.conf";

const std::string kFactoryFile = ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
                                 "; ORV ネットワーク情報         ;\n"
                                 "; SDカード上に保存されるデータ ;\n"
                                 ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
                                 "[ORVNetwork]\t; ORVネットワーク設定\n"
                                 "IP=192.168.105.10\t; IPアドレス\n"
                                 "NetMask=255.255.255.0\t; サブネットマスク\n"
                                 "Gateway=192.168.105.1\t; デフォルトゲートウェイ\n"
                                 "Syslog=192.168.0.100\t; Syslogサーバ\n"
                                 "snmp=192.168.0.100\t; snmp\n"
                                 "DnsP=0.0.0.0\t; プライマリDNSサーバ\n"
                                 "DnsS=0.0.0.0\t; セカンダリDNSサーバ\n";

std::string address(const uint8_t a[4]) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

int count_lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

class NetworkFileTest : public SandboxTest {
  protected:
    void SetUp() override { system_settings = SystemSettings{}; }

    NetworkSettings settings(const char* ip, const char* mask, const char* gw, const char* dns_p,
                             const char* dns_s) {
        NetworkSettings n{};
        IniParseIpAddress(ip, n.IP);
        IniParseIpAddress(mask, n.NetMask);
        IniParseIpAddress(gw, n.Gateway);
        IniParseIpAddress(dns_p, n.DnsP);
        IniParseIpAddress(dns_s, n.DnsS);
        return n;
    }
};

TEST_F(NetworkFileTest, MissingFileIsCreatedWithTheFactoryValuesOfTheVariant) {
    NetworkSettings n{};
    std::string out = capture_stdout([&] { EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0); });
    EXPECT_NE(out.find("<INF> <<Network file factory set>>\n"), std::string::npos);
    EXPECT_EQ(sandbox.read(kNetworkFilePath), kFactoryFile);
    EXPECT_EQ(sandbox.read("/usr/kelvatro/conf/ORV_Network.ini"), kFactoryFile);

    sandbox.remove(kNetworkFilePath);
    system_settings.CustumInfo = kVariantBit;
    capture_stdout([&] { ReadNetworkFile(kNetworkFilePath, n); });
    std::string expected = kFactoryFile;
    expected.replace(expected.find("IP=192.168.105.10"), 17, "IP=192.168.1.10");
    expected.replace(expected.find("Gateway=192.168.105.1"), 21, "Gateway=192.168.1.1");
    EXPECT_EQ(sandbox.read(kNetworkFilePath), expected);
}

TEST_F(NetworkFileTest, ReadingTakesKeysAfterTheHeaderAndAnNtpServerNeverWritten) {
    sandbox.write(kNetworkFilePath, "DnsS=9.9.9.9\n"
                                    "[ORVNetwork]\t; comment\n"
                                    "IP=10.1.2\t; short\n"
                                    "IPX=1.1.1.1\n"
                                    "NtpServer=127.0.0.1\t; ours\n");
    NetworkSettings n{};
    EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0);
    EXPECT_EQ(address(n.IP), "10.1.2.10");
    EXPECT_EQ(address(n.DnsS), "0.0.0.0");
    EXPECT_EQ(address(n.NtpServer), "127.0.0.1");
    capture_stdout([&] { EXPECT_EQ(WriteNetworkFile(kNetworkFilePath, n), 0); });
    const std::string text = sandbox.read(kNetworkFilePath);
    EXPECT_EQ(count_lines(text), 12);
    EXPECT_EQ(text.find("Ntp"), std::string::npos);

    EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0);
    EXPECT_EQ(address(n.NtpServer), "0.0.0.0");
}

TEST_F(NetworkFileTest, PrintoutLeavesDnsOutWithTheVariantBit) {
    const NetworkSettings n =
        settings("10.0.0.2", "255.255.255.0", "10.0.0.1", "8.8.8.8", "1.1.1.1");
    const std::string five = capture_stdout([&] { PrintNetworkSettings(n); });
    const char* lines[] = {"IP Addr     : 10.0.0.2\n", "NetMask     : 255.255.255.0\n",
                           "Gateway     : 10.0.0.1\n", "DNS P       : 8.8.8.8\n",
                           "DNS S       : 1.1.1.1\n"};
    EXPECT_EQ(count_lines(five), 5);
    for (const char* line : lines)
        EXPECT_NE(five.find(std::string("<INF> ") + line), std::string::npos) << line;
    system_settings.CustumInfo = kVariantBit;
    const std::string three = capture_stdout([&] { PrintNetworkSettings(n); });
    EXPECT_EQ(count_lines(three), 3);
    EXPECT_EQ(three.find("DNS"), std::string::npos);
}

TEST(NetmaskPrefix, CountsOnlyBytesWithTheTopBitSet) {
    const std::vector<std::pair<std::vector<uint8_t>, int>> cases = {{{255, 255, 255, 0}, 24},
                                                                     {{255, 255, 254, 0}, 23},
                                                                     {{255, 255, 255, 128}, 25},
                                                                     {{0, 0, 0, 0}, 0},
                                                                     {{255, 255, 255, 127}, 24}};
    for (const auto& [mask, length] : cases)
        EXPECT_EQ(netmask_prefix_length(mask.data()), length) << int(mask[3]);
}

TEST_F(NetworkFileTest, ApplyRunsTheCommandsInOrder) {
    const NetworkSettings n =
        settings("192.168.105.10", "255.255.255.0", "192.168.105.1", "0.0.0.0", "0.0.0.0");
    int result = 0;
    capture_stdout([&] { result = ApplyNetworkSettings(n); });
    EXPECT_EQ(result, 1);
    const std::vector<std::string> expected = {
        "ifconfig eth0 192.168.105.10 netmask 255.255.255.0",
        "route del default",
        "route add default gw 192.168.105.1",
        "grep \"interface eth0\" /var/kelvatro/conf/dhcpcd.conf",
        "echo \"interface eth0\" >> /var/kelvatro/conf/dhcpcd.conf",
        "grep \"static ip_address=\" /var/kelvatro/conf/dhcpcd.conf",
        "echo \"static ip_address=\"192.168.105.10/24 >> /var/kelvatro/conf/dhcpcd.conf",
        "sync",
        "grep \"static routers=\" /var/kelvatro/conf/dhcpcd.conf",
        "echo \"static routers=\"192.168.105.1 >> /var/kelvatro/conf/dhcpcd.conf",
        "sync",
        "grep \"static domain_name_servers=\" /var/kelvatro/conf/dhcpcd.conf",
        "echo \"static domain_name_servers=\"0.0.0.0 >> /var/kelvatro/conf/dhcpcd.conf",
        "sync",
        "cp -pf /var/kelvatro/conf/dhcpcd.conf /etc/",
        "sync",
        "sudo service dhcpcd reload",
    };
    EXPECT_EQ(sandbox.journal(), expected);
    EXPECT_EQ(sandbox.read("/etc/resolv.conf"), "nameserver 0.0.0.0\nnameserver 0.0.0.0\n");
    const std::string entries = "interface eth0\n"
                                "static ip_address=192.168.105.10/24\n"
                                "static routers=192.168.105.1\n"
                                "static domain_name_servers=0.0.0.0\n";
    EXPECT_EQ(sandbox.read(kDhcpcd), entries);
    EXPECT_EQ(sandbox.read("/etc/dhcpcd.conf"), entries);
}

TEST_F(NetworkFileTest, SecondApplyRewritesTheEntriesInPlace) {
    sandbox.write(kDhcpcd, "hostname\nclientid\n");
    capture_stdout([&] {
        ApplyNetworkSettings(
            settings("192.168.1.10", "255.255.255.0", "192.168.1.1", "8.8.8.8", "8.8.4.4"));
    });
    EXPECT_EQ(sandbox.read(kDhcpcd), "hostname\nclientid\ninterface eth0\n"
                                     "static ip_address=192.168.1.10/24\n"
                                     "static routers=192.168.1.1\n"
                                     "static domain_name_servers=8.8.8.8\n");
    const auto before = sandbox.journal().size();
    capture_stdout([&] {
        ApplyNetworkSettings(
            settings("10.0.0.5", "255.255.254.0", "10.0.0.1", "1.1.1.1", "9.9.9.9"));
    });
    EXPECT_EQ(sandbox.read(kDhcpcd), "hostname\nclientid\ninterface eth0\n"
                                     "static ip_address=10.0.0.5/23\n"
                                     "static routers=10.0.0.1\n"
                                     "static domain_name_servers=1.1.1.1\n");
    EXPECT_EQ(sandbox.read("/etc/resolv.conf"), "nameserver 1.1.1.1\nnameserver 9.9.9.9\n");
    const auto journal = sandbox.journal();
    EXPECT_EQ(journal[before + 5],
              "grep -l 'static ip_address=' /var/kelvatro/conf/dhcpcd.conf | xargs sed "
              "-i -e 's/static ip_address=.*/static ip_address=10.0.0.5\\/23/g'");
    EXPECT_EQ(journal[before + 8],
              "grep -l 'static routers=' /var/kelvatro/conf/dhcpcd.conf | "
              "xargs sed -i -e 's/static routers=.*/static routers=10.0.0.1/g'");
    EXPECT_EQ(std::count_if(journal.begin() + static_cast<long>(before), journal.end(),
                            [](const std::string& c) { return c.starts_with("echo"); }),
              0);
}

TEST_F(NetworkFileTest, KeyInsideACommentCountsAsPresent) {
    sandbox.write(kDhcpcd, "#interface eth0\n#static routers=192.168.0.1\n");
    capture_stdout([&] {
        ApplyNetworkSettings(
            settings("10.0.0.5", "255.255.255.0", "10.0.0.1", "0.0.0.0", "0.0.0.0"));
    });
    EXPECT_EQ(sandbox.read(kDhcpcd), "#interface eth0\n#static routers=10.0.0.1\n"
                                     "static ip_address=10.0.0.5/24\n"
                                     "static domain_name_servers=0.0.0.0\n");
}

TEST_F(NetworkFileTest, UnwritableResolverIsReportedAndTheRestRuns) {
    sandbox.write("/etc/resolv.conf/keep", "");
    std::string out = capture_stdout([&] {
        ApplyNetworkSettings(
            settings("10.0.0.5", "255.255.255.0", "10.0.0.1", "0.0.0.0", "0.0.0.0"));
    });
    EXPECT_NE(out.find("<ERR> Cannot Open /etc/resolv.conf\n"), std::string::npos);
    EXPECT_EQ(sandbox.journal().back(), "sudo service dhcpcd reload");
    EXPECT_EQ(count_lines(sandbox.read(kDhcpcd)), 4);
}

} // namespace
