// The NTP daemon control: start and stop, and the stratum edit that really
// runs grep, xargs, sed and cp on the sandbox's ntp.conf.
#include "sandbox.h"
#include "settings/system_file.h"
#include "tot/ntp_server.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kEtcConf = "/etc/ntp.conf";

const std::string kConfWith10 = "driftfile /var/lib/ntp/ntp.drift\n"
                                "server 127.127.1.0\n"
                                "fudge 127.127.1.0 stratum 10\n"
                                "restrict 127.0.0.1\n";

std::string conf_with(int stratum) {
    return "driftfile /var/lib/ntp/ntp.drift\n"
           "server 127.127.1.0\n"
           "fudge 127.127.1.0 stratum " +
           std::to_string(stratum) +
           "\n"
           "restrict 127.0.0.1\n";
}

const std::string kGrepSed6 = "grep -l 'fudge 127.127.1.0 stratum' /var/kelvatro/conf/ntp.conf | "
                              "xargs sed -i -e 's/fudge 127.127.1.0 stratum.*/fudge 127.127.1.0 "
                              "stratum 6/g'";
const std::string kCopy = "cp -pf /var/kelvatro/conf/ntp.conf /etc/";

class NtpServer : public SandboxTest {
  protected:
    void SetUp() override {
        ntp_server = NtpServerState{0, 16};
        system_settings.CustumInfo = 0;
    }
    std::string status_log() const { return sandbox.read("/var/www/StatusLog.txt"); }
};

} // namespace

TEST_F(NtpServer, StartAndStop) {
    const std::string started = capture_stdout(ntp_server_start);
    EXPECT_EQ(ntp_server.running, 1);
    EXPECT_NE(started.find("CMD > sudo /etc/init.d/ntp start\n"), std::string::npos);
    const std::string stopped = capture_stdout(ntp_server_stop);
    EXPECT_EQ(ntp_server.running, 0);
    EXPECT_NE(stopped.find("CMD > sudo /etc/init.d/ntp stop\n"), std::string::npos);
    EXPECT_EQ(sandbox.journal(), (std::vector<std::string>{"sudo /etc/init.d/ntp start",
                                                           "sudo /etc/init.d/ntp stop"}));
    const std::string log = status_log();
    const auto start_at = log.find("Start TOT Time Server\n");
    ASSERT_NE(start_at, std::string::npos);
    EXPECT_NE(log.find("Stop TOT Time Server\n", start_at), std::string::npos);
}

TEST_F(NtpServer, StratumEditRewritesFudgeLineOnce) {
    sandbox.write(kConf, kConfWith10);
    const std::string out = capture_stdout([] { EXPECT_EQ(set_ntp_stratum(6), 0); });
    EXPECT_EQ(out, "set_ntp_stratum 16 => 6\n");
    EXPECT_EQ(ntp_server.stratum, 6);
    EXPECT_EQ(sandbox.read(kConf), conf_with(6));
    EXPECT_EQ(sandbox.read(kEtcConf), conf_with(6));
    EXPECT_EQ(sandbox.journal(), (std::vector<std::string>{kGrepSed6, kCopy, "sync"}));

    // The same stratum again changes nothing and runs nothing.
    const std::string again = capture_stdout([] { set_ntp_stratum(6); });
    EXPECT_EQ(again, "");
    EXPECT_EQ(sandbox.journal().size(), 3u);
}

TEST_F(NtpServer, ConfWithoutFudgeLineIsStillCopied) {
    const std::string plain = "server 127.127.1.0\n";
    sandbox.write(kConf, plain);
    set_ntp_stratum(6);
    EXPECT_EQ(sandbox.read(kConf), plain);
    EXPECT_EQ(sandbox.read(kEtcConf), plain);
}

TEST_F(NtpServer, VariantBitForcesStratum10) {
    system_settings.CustumInfo = kVariantBit;
    sandbox.write(kConf, conf_with(3));
    const std::string out = capture_stdout([] { set_ntp_stratum(6); });
    EXPECT_EQ(out, "set_ntp_stratum 16 => 10\n");
    EXPECT_EQ(ntp_server.stratum, 10);
    EXPECT_EQ(sandbox.read(kConf), conf_with(10));
}

// Set_TOT_STRATUM 0 asks for -1, which ntpd does not take for its local
// clock: 1 is written, the request is kept, and the clamp is logged once.
TEST_F(NtpServer, StratumOutOfRangeIsClampedAndLoggedOnce) {
    sandbox.write(kConf, kConfWith10);
    const std::string out = capture_stdout([] { set_ntp_stratum(-1); });
    EXPECT_NE(out.find("set_ntp_stratum 16 => -1\n"), std::string::npos);
    EXPECT_EQ(ntp_server.stratum, -1);
    EXPECT_EQ(sandbox.read(kConf), conf_with(1));
    set_ntp_stratum(-1);
    const std::string log = status_log();
    const std::string clamp_line = "NTP stratum -1 out of range, 1 written\n";
    const auto first = log.find(clamp_line);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(clamp_line, first + 1), std::string::npos);

    set_ntp_stratum(254); // Set_TOT_STRATUM 255
    EXPECT_EQ(sandbox.read(kConf), conf_with(15));
    EXPECT_NE(status_log().find("NTP stratum 254 out of range, 15 written\n"), std::string::npos);
}
