// The NTP daemon control: start and stop, and the stratum edit that really
// runs grep, xargs and sed on the sandbox's ntp.conf, or chrony's own file.
#include "os/deploy_settings.h"
#include "os/shell.h"
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

// The daemon's commands: the unit's init script, or those that ORV_NTP_START and
// ORV_NTP_STOP name over the daemon's (ntpsec's and chrony's: e2e ntp_daemon.sh).
TEST_F(NtpServer, InstallationNamesTheDaemonAndItsCommands) {
    const struct {
        const char *settings, *start, *stop;
    } cases[] = {
        {"", "sudo /etc/init.d/ntp start", "sudo /etc/init.d/ntp stop"},
        {"ORV_NTP_DAEMON=ntpsec\nORV_NTP_START=a\nORV_NTP_STOP=b", "a", "b"},
    };
    for (const auto& c : cases) {
        sandbox.write("/etc/default/orv-main", c.settings);
        deploy_settings_reload();
        capture_stdout(ntp_server_start);
        capture_stdout(ntp_server_stop);
        const std::vector<std::string> journal = sandbox.journal();
        EXPECT_EQ(std::vector(journal.end() - 2, journal.end()),
                  (std::vector<std::string>{c.start, c.stop}));
    }
}

// An edit that fails (a full RAM disk) is logged and not taken as written: the
// next request with the same stratum writes it again.
TEST_F(NtpServer, FailedStratumEditIsWrittenAgain) {
    sandbox.write(kConf, conf_with(3));
    shell_set_sandbox_runner([](const std::string&) { return 1; });
    stratum_output(6);
    shell_set_sandbox_runner(nullptr);
    EXPECT_EQ(sandbox.read(kConf), conf_with(3));
    EXPECT_FALSE(sandbox.exists("/etc/ntp.conf"));
    EXPECT_TRUE(contains(sandbox.read("/var/www/StatusLog.txt"),
                         "<ERR> Cannot edit /var/kelvatro/conf/ntp.conf: status 1\n"));
    EXPECT_EQ(stratum_output(6), "set_ntp_stratum 6 => 6\n");
    EXPECT_EQ(sandbox.read("/etc/ntp.conf"), conf_with(6));
}

// A delivery or unit that cannot be used is reported at start and the unit
// steps the clock: ntp.conf keeps its local clock.
TEST_F(NtpServer, UnusableDeliveryFallsBackToStep) {
    const struct {
        const char *settings, *log;
    } cases[] = {
        {"ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=two\n",
         "<ERR> ORV_SHM_UNIT \"two\" is no unit from 0 to 255: time delivery step\n"},
        {"ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=256\n",
         "<ERR> ORV_SHM_UNIT \"256\" is no unit from 0 to 255: time delivery step\n"},
        {"ORV_TIME_DELIVERY=shm\n",
         "<ERR> ORV_SHM_UNIT \"\" is no unit from 0 to 255: time delivery step\n"},
        {"ORV_TIME_DELIVERY=SHM\n",
         "<ERR> ORV_TIME_DELIVERY \"SHM\" is unknown: time delivery step\n"},
        {"ORV_NTP_DAEMON=ntpd\n",
         "<ERR> ORV_NTP_DAEMON \"ntpd\" is unknown: sudo /etc/init.d/ntp start\n"},
    };
    for (const auto& c : cases) {
        sandbox.write("/etc/default/orv-main", c.settings);
        deploy_settings_reload();
        sandbox.remove("/var/www/StatusLog.txt");
        ntp_server = NtpServerState{0, 16, 0};
        sandbox.write(kConf, conf_with(3));
        ntp_server_report_settings();
        stratum_output(6);
        const std::string log = sandbox.read("/var/www/StatusLog.txt");
        EXPECT_EQ(count(log, "<ERR>"), 1) << log;
        EXPECT_TRUE(contains(log, c.log)) << log;
        EXPECT_EQ(sandbox.read(kConf), conf_with(6)) << c.settings;
    }
}
