// The NTP daemon control: start and stop, and the stratum edit that really
// runs grep, xargs, sed and cp on the sandbox's ntp.conf.
#include "os/deploy_settings.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "text.h"
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
    }
    static std::string stratum_output(int stratum) {
        return capture_stdout([stratum] { EXPECT_EQ(set_ntp_stratum(stratum), 0); });
    }
};

} // namespace

// Each request is written once, and copied: the variant's 10 whatever is asked,
// else the nearest stratum that ntpd takes for its local clock (the clamp
// logged). The start value 16 is no written stratum: a first 16 is clamped too.
TEST_F(NtpServer, StratumEditWritesEachRequestOnce) {
    const struct {
        uint32_t custum;
        int requested, written;
        const char *out, *log;
    } cases[] = {
        {0, 16, 15, "set_ntp_stratum 16 => 16\n", "NTP stratum 16 out of range, 15 written\n"},
        {0, 6, 6, "set_ntp_stratum 16 => 6\n", nullptr},
        {0, -1, 1, "set_ntp_stratum 6 => -1\n", "NTP stratum -1 out of range, 1 written\n"},
        {0, 254, 15, "set_ntp_stratum -1 => 254\n", "NTP stratum 254 out of range, 15 written\n"},
        {kVariantBit, 6, 10, "set_ntp_stratum 254 => 10\n", nullptr},
    };
    std::vector<std::string> journal;
    for (const auto& c : cases) {
        system_settings.CustumInfo = c.custum;
        sandbox.write(kConf, conf_with(3));
        const std::string out = stratum_output(c.requested);
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.out);
        EXPECT_EQ(sandbox.read(kConf), conf_with(c.written)) << c.requested;
        EXPECT_EQ(sandbox.read("/etc/ntp.conf"), conf_with(c.written)) << c.requested;
        journal.push_back(
            "grep -l 'fudge 127.127.1.0 stratum' /var/kelvatro/conf/ntp.conf | xargs sed -i -e "
            "'s/fudge 127.127.1.0 stratum.*/fudge 127.127.1.0 stratum " +
            std::to_string(c.written) + "/g'");
        journal.push_back("sync");
        EXPECT_EQ(stratum_output(c.requested), "");
    }
    EXPECT_EQ(sandbox.journal(), journal);
    const std::string log = sandbox.read("/var/www/StatusLog.txt");
    EXPECT_EQ(count(log, " out of range, "), 3);
    for (const auto& c : cases)
        EXPECT_TRUE(!c.log || count(log, c.log) == 1) << c.log;
}

// An installation's daemon commands and configuration copy, from its settings file.
TEST_F(NtpServer, InstallationNamesTheDaemonCommandsAndTheCopy) {
    sandbox.write(kConf, conf_with(10));
    sandbox.write("/etc/default/orv-main", "ORV_NTP_START=\"systemctl start ntpsec.service\"\n"
                                           "ORV_NTP_STOP=\"systemctl stop ntpsec.service\"\n"
                                           "ORV_NTP_CONF_COPY=/etc/ntpsec/ntp.conf\n");
    std::filesystem::create_directories(sandbox.path("/etc/ntpsec"));
    EXPECT_TRUE(
        capture_stdout(ntp_server_stop).starts_with("CMD > systemctl stop ntpsec.service\n"));
    stratum_output(6);
    capture_stdout(ntp_server_start);
    EXPECT_EQ(sandbox.journal().back(), "systemctl start ntpsec.service");
    EXPECT_EQ(sandbox.read("/etc/ntpsec/ntp.conf"), conf_with(6));
}

// Shm delivery: the local clock's lines and any shared-memory clock make way for
// the unit's, whose stratum may be 0; the copy follows, and no sed runs.
TEST_F(NtpServer, ShmDeliveryWritesTheSharedMemoryClock) {
    sandbox.write("/etc/default/orv-main", "ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=7\n");
    deploy_settings_reload();
    for (const auto& [requested, written] : {std::pair{6, "6"}, {-1, "0"}}) {
        sandbox.write(kConf, conf_with(10) + "server 127.127.28.3\n");
        stratum_output(requested);
        const std::string want = std::string("restrict 127.0.0.1\n"
                                             "server 127.127.28.7 minpoll 4 maxpoll 4\n"
                                             "fudge 127.127.28.7 refid TOT stratum ") +
                                 written + "\n";
        EXPECT_EQ(sandbox.read(kConf), want) << requested;
        EXPECT_EQ(sandbox.read("/etc/ntp.conf"), want) << requested;
    }
    EXPECT_EQ(sandbox.journal(), (std::vector<std::string>{"sync", "sync"}));
    EXPECT_TRUE(contains(sandbox.read("/var/www/StatusLog.txt"),
                         "NTP stratum -1 out of range, 0 written\n"));
}
