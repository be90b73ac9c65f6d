// The network settings file and the network apply: factory files, reading, the
// printout, the commands, the resolver file and the dhcpcd entries.
#include "os/shell.h"
#include "sandbox.h"
#include "settings/network_file.h"
#include "settings/system_file.h"

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

// Settings from "IP NetMask Gateway DnsP DnsS".
NetworkSettings net(const std::string& addresses) {
    NetworkSettings n{};
    std::istringstream in(addresses);
    std::string a;
    for (uint8_t* field : {n.IP, n.NetMask, n.Gateway, n.DnsP, n.DnsS}) {
        in >> a;
        IniParseIpAddress(a.c_str(), field);
    }
    return n;
}

class NetworkFileTest : public SandboxTest {
  protected:
    void SetUp() override { system_settings = SystemSettings{}; }

    // Applies the settings; returns what was printed.
    static std::string apply(const std::string& addresses) {
        return capture_stdout([&] { EXPECT_EQ(ApplyNetworkSettings(net(addresses)), 1); });
    }
};

TEST_F(NetworkFileTest, MissingFileIsCreatedWithTheFactoryValuesOfTheVariant) {
    NetworkSettings n{};
    capture_stdout([&] { EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0); });
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

// An address that is not four numbers of 0 to 255 is refused whole: the
// field keeps what it held before, the factory value at first.
TEST_F(NetworkFileTest, ReadingTakesKeysAfterTheHeaderAndRefusesMalformedAddresses) {
    sandbox.write(kNetworkFilePath, "DnsS=9.9.9.9\n[ORVNetwork]\nIP=10.1.2\nNtpServer=127.0.0.1\n");
    NetworkSettings n{};
    std::string out = capture_stdout([&] { EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0); });
    EXPECT_EQ(address(n.IP) + " " + address(n.DnsS) + " " + address(n.NtpServer),
              "192.168.105.10 0.0.0.0 127.0.0.1");
    EXPECT_TRUE(contains(out, "<ERR> /var/kelvatro/conf/ORV_Network.ini: IP=10.1.2 is no "
                              "address, 192.168.105.10 kept\n"));
    capture_stdout([&] { EXPECT_EQ(WriteNetworkFile(kNetworkFilePath, n), 0); });
    EXPECT_EQ(sandbox.read(kNetworkFilePath), kFactoryFile); // no NtpServer line
    EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0);
    EXPECT_EQ(address(n.NtpServer), "0.0.0.0");

    IniParseIpAddress("255.255.254.0", n.NetMask);
    for (const std::string bad : {"$(echo 0.0.255.0)", "255.255.255.300", "1.2.3.4.5", "0x1.2.3.4",
                                  "255.255.255", "1.2.3.4x"}) {
        sandbox.write(kNetworkFilePath, "[ORVNetwork]\nNetMask=" + bad + "\n");
        capture_stdout([&] { ReadNetworkFile(kNetworkFilePath, n); });
        EXPECT_EQ(address(n.NetMask), "255.255.254.0") << bad;
    }
    sandbox.write(kNetworkFilePath, "[ORVNetwork]\nNetMask=1.2\x1b[31m\n");
    EXPECT_TRUE(contains(capture_stdout([&] { ReadNetworkFile(kNetworkFilePath, n); }),
                         "NetMask=1.2\\x1B[31m is no address, 255.255.254.0 kept\n"));
}

TEST_F(NetworkFileTest, PrintoutLeavesDnsOutWithTheVariantBit) {
    const NetworkSettings n = net("10.0.0.2 255.255.255.0 10.0.0.1 8.8.8.8 1.1.1.1");
    const std::string three = " <INF> IP Addr     : 10.0.0.2\n <INF> NetMask     : 255.255.255.0\n"
                              " <INF> Gateway     : 10.0.0.1\n";
    capture_stdout([&] { PrintNetworkSettings(n); });
    system_settings.CustumInfo = kVariantBit;
    capture_stdout([&] { PrintNetworkSettings(n); });
    EXPECT_EQ(sandbox.log(),
              three + " <INF> DNS P       : 8.8.8.8\n <INF> DNS S       : 1.1.1.1\n" + three);
}

TEST_F(NetworkFileTest, ApplyRunsTheCommandsInOrderAndEditsKeysPresent) {
    apply("192.168.105.10 255.255.255.0 192.168.105.1 0.0.0.0 0.0.0.0");
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
        "sync",
        "sudo service dhcpcd reload",
    };
    EXPECT_EQ(sandbox.journal(), expected);
    EXPECT_EQ(sandbox.read("/etc/resolv.conf"), "nameserver 0.0.0.0\nnameserver 0.0.0.0\n");
    const std::string entries =
        "interface eth0\nstatic ip_address=192.168.105.10/24\n"
        "static routers=192.168.105.1\nstatic domain_name_servers=0.0.0.0\n";
    EXPECT_EQ(sandbox.read(kDhcpcd), entries);
    EXPECT_EQ(sandbox.read("/etc/dhcpcd.conf"), entries);
    // A key inside a comment counts as present: that line is edited.
    sandbox.write(kDhcpcd, "#interface eth0\n#static routers=192.168.0.1\n");
    apply("10.0.0.5 255.255.255.0 10.0.0.1 0.0.0.0 0.0.0.0");
    EXPECT_EQ(sandbox.read(kDhcpcd), "#interface eth0\n#static routers=10.0.0.1\n"
                                     "static ip_address=10.0.0.5/24\n"
                                     "static domain_name_servers=0.0.0.0\n");
}

// A resolver file that cannot be written, and a link planted at the dhcpcd
// file (moved aside, never appended through), are reported; the rest runs.
TEST_F(NetworkFileTest, ObstaclesAreReportedAndTheRestRuns) {
    sandbox.write("/etc/resolv.conf/keep", "");
    sandbox.write("/var/www/target", "keep\n");
    std::filesystem::create_symlink(sandbox.path("/var/www/target"), sandbox.path(kDhcpcd));
    const std::string out = apply("10.0.0.5 255.255.255.0 10.0.0.1 0.0.0.0 0.0.0.0");
    EXPECT_TRUE(contains(out, "<ERR> Cannot Open /etc/resolv.conf\n"));
    EXPECT_TRUE(contains(out, "<ERR> /var/kelvatro/conf/dhcpcd.conf was no regular file: moved "
                              "to /var/kelvatro/conf/dhcpcd.conf.aside\n"));
    EXPECT_EQ(sandbox.journal().back(), "sudo service dhcpcd reload");
    EXPECT_EQ(count(sandbox.read(kDhcpcd), "\n"), 4);
    EXPECT_EQ(sandbox.read("/var/www/target"), "keep\n");
}

// An edit of the dhcpcd file that fails (a full RAM disk) is reported, and
// dhcpcd is not reloaded on the old file.
TEST_F(NetworkFileTest, FailedDhcpcdEditIsNotReloaded) {
    shell_set_sandbox_runner(
        [](const std::string& command) { return contains(command, "sed") ? 1 : 0; });
    const std::string out = apply("10.0.0.5 255.255.255.0 10.0.0.1 0.0.0.0 0.0.0.0");
    shell_set_sandbox_runner(nullptr);
    EXPECT_EQ(count(out, "<ERR>"), 1);
    EXPECT_TRUE(contains(out, "<ERR> Cannot edit /var/kelvatro/conf/dhcpcd.conf: status 1\n"));
    EXPECT_EQ(sandbox.journal().back(), "sync");
    EXPECT_FALSE(sandbox.exists("/etc/dhcpcd.conf"));
}

} // namespace
