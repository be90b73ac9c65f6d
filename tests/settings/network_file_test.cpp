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
    static std::string apply(const std::string& addresses, int result = 1) {
        return capture_stdout([&] { EXPECT_EQ(ApplyNetworkSettings(net(addresses)), result); });
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
    capture_stdout([&] { EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0); });
    EXPECT_EQ(address(n.IP) + " " + address(n.DnsS) + " " + address(n.NtpServer),
              "192.168.105.10 0.0.0.0 127.0.0.1");
    // The keys the apply needs take their factory values when missing, logged.
    EXPECT_EQ(sandbox.log(), " <ERR> /var/kelvatro/conf/ORV_Network.ini: IP=10.1.2 is no address, "
                             "192.168.105.10 kept\n"
                             " <ERR> /var/kelvatro/conf/ORV_Network.ini: no NetMask, factory value "
                             "255.255.255.0 taken\n"
                             " <ERR> /var/kelvatro/conf/ORV_Network.ini: no Gateway, factory value "
                             "192.168.105.1 taken\n");
    capture_stdout([&] { EXPECT_EQ(WriteNetworkFile(kNetworkFilePath, n), 0); });
    EXPECT_EQ(sandbox.read(kNetworkFilePath), kFactoryFile); // no NtpServer line
    EXPECT_EQ(ReadNetworkFile(kNetworkFilePath, n), 0);
    EXPECT_EQ(address(n.NtpServer), "0.0.0.0");

    // Such a file is refused whole; so are addresses the unit cannot live on,
    // alone or with the others (the factory values for those missing).
    IniParseIpAddress("255.255.254.0", n.NetMask);
    const std::pair<std::string, std::string> cases[] = {
        {"NetMask=$(echo 0.0.255.0)", "NetMask=$(echo 0.0.255.0) refused"},
        {"NetMask=255.255.255.300", "NetMask=255.255.255.300 refused"},
        {"NetMask=1.2.3.4.5", "NetMask=1.2.3.4.5 refused"},
        {"NetMask=0x1.2.3.4", "NetMask=0x1.2.3.4 refused"},
        {"NetMask=255.255.255", "NetMask=255.255.255 refused"},
        {"NetMask=255.0.255.0", "NetMask=255.0.255.0 refused"},
        {"NetMask=255:255:0:0", "NetMask=255:255:0:0 refused"},
        {"IP=1..2.3.4", "IP=1..2.3.4 refused"},
        {"IP=", "IP= refused"},
        {"IP=0.0.0.0", "IP=0.0.0.0 refused"},
        {"DnsP=255.255.255.255", "DnsP=255.255.255.255 refused"},
        {"IP=127.0.0.1", "IP=127.0.0.1 refused"},
        {"IP=224.0.0.1", "IP=224.0.0.1 refused"},
        {"NetMask=0.0.0.0", "NetMask=0.0.0.0 refused"},
        {"NetMask=255.255.255.255", "NetMask=255.255.255.255 refused"},
        {"Gateway=0.0.0.0", "Gateway=0.0.0.0 refused"},
        {"IP=192.168.105.255", "IP=192.168.105.255 is the broadcast address of 192.168.105.0/24"},
        {"IP=192.168.105.0", "IP=192.168.105.0 is the network address of 192.168.105.0/24"},
        {"Gateway=192.168.105.10", "Gateway=192.168.105.10 is the unit's own address"},
        {"Gateway=192.168.104.1", "Gateway=192.168.104.1 outside 192.168.105.0/24"},
        {"IP=10.1.1.1\nNetMask=255.255.255.128\nGateway=10.1.1.127",
         "Gateway=10.1.1.127 is the broadcast address of 10.1.1.0/25"},
        {"IP = 10.1.2.3 \nNetMask=255.255.0.0\nGateway=10.1.255.254\nDnsP=0.0.0.0", ""},
        {"IP=10.1.2.3\nNetMask=255.255.255.254\nGateway=10.1.2.2", ""},
    };
    for (const auto& [lines, problem] : cases) {
        const std::string text = "[ORVNetwork]\n" + lines + "\n";
        EXPECT_EQ(SettingsTextProblem(text, kNetworkFileShape), problem) << lines;
    }
    sandbox.write(kNetworkFilePath, "[ORVNetwork]\nNetMask=1.2\x1b[31m\n");
    EXPECT_TRUE(contains(capture_stdout([&] { ReadNetworkFile(kNetworkFilePath, n); }),
                         "NetMask=1.2\\x1B[31m is no address, 255.255.254.0 kept\n"));
    // At start such a file is set aside for its SD copy, the last one taken.
    sandbox.write("/usr/kelvatro/conf/ORV_Network.ini", kFactoryFile);
    sandbox.write(kNetworkFilePath, "[ORVNetwork]\nIP=256.1.1.1\n");
    capture_stdout([] { CheckSettingsFile(kNetworkFilePath, kNetworkFileShape); });
    EXPECT_EQ(sandbox.read(kNetworkFilePath), kFactoryFile);
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

// The interface takes the address once dhcpcd's file holds it.
TEST_F(NetworkFileTest, ApplyRunsTheCommandsInOrderAndEditsKeysPresent) {
    apply("192.168.105.10 255.255.255.0 192.168.105.1 0.0.0.0 0.0.0.0");
    const std::vector<std::string> expected = {
        "grep -x \"interface eth0\" /var/kelvatro/conf/dhcpcd.conf",
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
        "ifconfig eth0 192.168.105.10 netmask 255.255.255.0",
        "route del default",
        "route add default gw 192.168.105.1",
        "sudo service dhcpcd reload",
    };
    EXPECT_EQ(sandbox.journal(), expected);
    EXPECT_EQ(sandbox.read("/etc/resolv.conf"), "nameserver 0.0.0.0\nnameserver 0.0.0.0\n");
    const std::string entries =
        "interface eth0\nstatic ip_address=192.168.105.10/24\n"
        "static routers=192.168.105.1\nstatic domain_name_servers=0.0.0.0\n";
    EXPECT_EQ(sandbox.read(kDhcpcd), entries);
    EXPECT_EQ(sandbox.read("/etc/dhcpcd.conf"), entries);
    // Later changes rewrite the entries; /etc gets only the lines the unit
    // writes, its factory file's among them.
    sandbox.write("/usr/kelvatro/conf/dhcpcd.conf", "allowinterfaces eth0\n");
    sandbox.write(kDhcpcd, "allowinterfaces eth0\n" + entries + "script /tmp/evil-hook.sh\n");
    const std::pair<const char*, const char*> changes[] = {
        {"10.0.0.5 255.255.0.0 10.0.0.1 0.0.0.0 0.0.0.0",
         "allowinterfaces eth0\ninterface eth0\nstatic ip_address=10.0.0.5/16\n"
         "static routers=10.0.0.1\nstatic domain_name_servers=0.0.0.0\n"},
        {"10.0.0.6 255.255.255.128 10.0.0.1 0.0.0.0 0.0.0.0",
         "allowinterfaces eth0\ninterface eth0\nstatic ip_address=10.0.0.6/25\n"
         "static routers=10.0.0.1\nstatic domain_name_servers=0.0.0.0\n"}};
    for (const auto& [addresses, unit_lines] : changes) {
        const std::string out = apply(addresses);
        EXPECT_EQ(sandbox.read(kDhcpcd), unit_lines + std::string("script /tmp/evil-hook.sh\n"));
        EXPECT_EQ(sandbox.read("/etc/dhcpcd.conf"), unit_lines);
        EXPECT_TRUE(contains(out, "<ERR> /var/kelvatro/conf/dhcpcd.conf: 1 line(s) the unit does "
                                  "not write left out of /etc/dhcpcd.conf: script "
                                  "/tmp/evil-hook.sh\n"));
    }
    // A key inside a comment counts as present: that line is edited; the
    // interface counts only as a line of its own.
    sandbox.write(kDhcpcd, "# (\"interface eth0\" and)\n#static routers=192.168.0.1\n");
    apply("10.0.0.5 255.255.255.0 10.0.0.1 0.0.0.0 0.0.0.0");
    EXPECT_EQ(sandbox.read(kDhcpcd), "# (\"interface eth0\" and)\n#static routers=10.0.0.1\n"
                                     "interface eth0\nstatic ip_address=10.0.0.5/24\n"
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
// nothing is applied: dhcpcd would bring the old address back.
TEST_F(NetworkFileTest, FailedDhcpcdEditIsNotReloaded) {
    shell_set_sandbox_runner(
        [](const std::string& command) { return contains(command, "sed") ? 1 : 0; });
    network_applied = net("10.0.0.6 255.255.255.0 10.0.0.1 0.0.0.0 0.0.0.0");
    const std::string out = apply("10.0.0.5 255.255.255.0 10.0.0.1 0.0.0.0 0.0.0.0", -1);
    shell_set_sandbox_runner(nullptr);
    EXPECT_EQ(network_applied->IP[3], 6);
    network_applied.reset();
    EXPECT_EQ(count(out, "<ERR>"), 1);
    EXPECT_TRUE(contains(out, "<ERR> Cannot edit /var/kelvatro/conf/dhcpcd.conf: status 1; "
                              "network settings not applied\n"));
    EXPECT_EQ(sandbox.journal().size(), 4u); // two greps, the sed, sync: no ifconfig
    EXPECT_FALSE(sandbox.exists("/etc/dhcpcd.conf"));
}

} // namespace
