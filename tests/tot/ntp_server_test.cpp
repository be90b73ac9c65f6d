// The NTP daemon control: start and stop, and the stratum edit that really
// runs grep, xargs, sed and cp on the sandbox's ntp.conf.
#include "os/deploy_settings.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "tot/ntp_server.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

constexpr const char* kConf = "/var/kelvatro/conf/ntp.conf";

std::string conf_with(int stratum) {
    return "server 127.127.1.0\nfudge 127.127.1.0 stratum " + std::to_string(stratum) +
           "\nrestrict 127.0.0.1\n";
}

class NtpServer : public SandboxTest {
  protected:
    void SetUp() override {
        ntp_server = NtpServerState{0, 16, 0};
        system_settings.CustumInfo = 0;
        sandbox.write(kConf, conf_with(10));
    }
    static std::string stratum_output(int stratum) {
        return capture_stdout([stratum] { EXPECT_EQ(set_ntp_stratum(stratum), 0); });
    }
};

} // namespace

// 16 to 6 rewrites the fudge line and copies the file; the same stratum again
// prints and runs nothing.
TEST_F(NtpServer, StratumEditRewritesTheFudgeLineOnce) {
    EXPECT_EQ(stratum_output(6), "set_ntp_stratum 16 => 6\n");
    EXPECT_EQ(sandbox.read(kConf), conf_with(6));
    EXPECT_EQ(sandbox.read("/etc/ntp.conf"), conf_with(6));
    const std::vector<std::string> commands = {
        "grep -l 'fudge 127.127.1.0 stratum' /var/kelvatro/conf/ntp.conf | xargs sed -i -e "
        "'s/fudge 127.127.1.0 stratum.*/fudge 127.127.1.0 stratum 6/g'",
        "sync"};
    EXPECT_EQ(sandbox.journal(), commands);
    EXPECT_EQ(stratum_output(6), "");
    EXPECT_EQ(sandbox.journal(), commands);
}

TEST_F(NtpServer, VariantBitForcesStratum10) {
    system_settings.CustumInfo = kVariantBit;
    sandbox.write(kConf, conf_with(3));
    EXPECT_EQ(stratum_output(6), "set_ntp_stratum 16 => 10\n");
    EXPECT_EQ(sandbox.read(kConf), conf_with(10));
}

// Set_TOT_STRATUM 17 asks for 16, 0 for -1 and 255 for 254, which ntpd does not
// take for its local clock: the nearest stratum it takes is written, the
// request is kept as the current stratum (so a repeat does nothing), and the
// clamp is logged.
TEST_F(NtpServer, StratumOutOfRangeIsClampedAndLogged) {
    const struct {
        int requested, written;
        const char* out;
    } cases[] = {{16, 15, "set_ntp_stratum 16 => 16\n"},
                 {-1, 1, "set_ntp_stratum 16 => -1\n"},
                 {254, 15, "set_ntp_stratum -1 => 254\n"}};
    for (const auto& c : cases) {
        sandbox.write(kConf, conf_with(10));
        EXPECT_TRUE(stratum_output(c.requested).starts_with(c.out)) << c.out;
        EXPECT_EQ(ntp_server.stratum, c.requested);
        EXPECT_EQ(sandbox.read(kConf), conf_with(c.written)) << c.requested;
        EXPECT_EQ(stratum_output(c.requested), "");
    }
    const std::string log = sandbox.read("/var/www/StatusLog.txt");
    for (const char* line :
         {"NTP stratum 16 out of range, 15 written\n", "NTP stratum -1 out of range, 1 written\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

// An installation's daemon commands and configuration copy, from its settings file.
TEST_F(NtpServer, InstallationNamesTheDaemonCommandsAndTheCopy) {
    sandbox.write("/etc/default/orv-main", "ORV_NTP_START=\"systemctl start ntpsec.service\"\n"
                                           "ORV_NTP_STOP=\"systemctl stop ntpsec.service\"\n"
                                           "ORV_NTP_CONF_COPY=/etc/ntpsec/ntp.conf\n");
    std::filesystem::create_directories(sandbox.path("/etc/ntpsec"));
    EXPECT_TRUE(
        capture_stdout(ntp_server_stop).starts_with("CMD > systemctl stop ntpsec.service\n"));
    stratum_output(6);
    capture_stdout(ntp_server_start);
    const std::vector<std::string> journal = sandbox.journal();
    EXPECT_EQ(journal.front(), "systemctl stop ntpsec.service");
    EXPECT_EQ(journal.back(), "systemctl start ntpsec.service");
    EXPECT_EQ(sandbox.read("/etc/ntpsec/ntp.conf"), conf_with(6));
}

// Shm delivery: the local clock's lines make way for the shared-memory clock,
// whose stratum may be 0; the copy follows, and no sed runs.
TEST_F(NtpServer, ShmDeliveryWritesTheSharedMemoryClock) {
    sandbox.write("/etc/default/orv-main", "ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=7\n");
    deploy_settings_reload();
    for (const auto& [requested, written] : {std::pair{6, "6"}, {-1, "0"}, {0, "0"}}) {
        sandbox.write(kConf, conf_with(10) + "server 127.127.28.3\n");
        stratum_output(requested);
        const std::string want = std::string("restrict 127.0.0.1\n"
                                             "server 127.127.28.7 minpoll 4 maxpoll 4\n"
                                             "fudge 127.127.28.7 refid TOT stratum ") +
                                 written + "\n";
        EXPECT_EQ(sandbox.read(kConf), want) << requested;
        EXPECT_EQ(sandbox.read("/etc/ntp.conf"), want) << requested;
    }
    for (const std::string& command : sandbox.journal())
        EXPECT_EQ(command, "sync");
    EXPECT_NE(
        sandbox.read("/var/www/StatusLog.txt").find("NTP stratum -1 out of range, 0 written\n"),
        std::string::npos);
}
