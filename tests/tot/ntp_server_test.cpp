// The NTP daemon control: the stratum edit that really runs grep, xargs and sed
// on the sandbox's ntp.conf, and the installation settings it cannot use.
#include "os/clock.h"
#include "os/deploy_settings.h"
#include "os/shell.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "tot/holdover.h"
#include "tot/ntp_server.h"
#include "tot/ntp_shm.h"
#include "tot/time_delivery.h"
#include "tot/tot_state.h"

#include <sys/shm.h>
#include <unistd.h>

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
    static void set_stratum(int stratum) {
        capture_stdout([stratum] { EXPECT_EQ(set_ntp_stratum(stratum), 0); });
    }
};

} // namespace

// Each request is written once, and copied (a sync after it): the variant's 10
// whatever is asked, else the nearest stratum that ntpd takes for its local
// clock (the clamp logged). The start value 16 is no written stratum: a first
// 16 is clamped too. The edit's command on a real ntp.conf: e2e served_time.
TEST_F(NtpServer, StratumEditWritesEachRequestOnceAndAFailedOneAgain) {
    const std::tuple<uint32_t, int, int, const char*> cases[] = {
        // custum, requested, written, log
        {0, 16, 15, "NTP stratum 16 out of range, 15 written\n"},
        {0, 6, 6, nullptr},
        {0, -1, 1, "NTP stratum -1 out of range, 1 written\n"},
        {kVariantBit, 6, 10, nullptr},
    };
    for (const auto& [custum, requested, written, log] : cases) {
        system_settings.CustumInfo = custum;
        sandbox.write(kConf, conf_with(3));
        set_stratum(requested);
        EXPECT_EQ(sandbox.read(kConf), conf_with(written)) << requested;
        EXPECT_EQ(sandbox.read("/etc/ntp.conf"), conf_with(written)) << requested;
        EXPECT_EQ(sandbox.journal().back(), "sync");
        set_stratum(requested);
        EXPECT_TRUE(!log || sandbox.log_count(log) == 1) << log;
    }
    EXPECT_EQ(sandbox.journal().size(), 2 * std::size(cases));
    EXPECT_EQ(sandbox.log_count(" out of range, "), 2);
    // An edit that fails (a full RAM disk) is logged and not taken as written:
    // the next request with the same stratum writes it again.
    system_settings.CustumInfo = 0;
    sandbox.write(kConf, conf_with(3));
    shell_set_sandbox_runner([](const std::string&) { return 1; });
    set_stratum(6);
    shell_set_sandbox_runner(nullptr);
    EXPECT_EQ(sandbox.read(kConf), conf_with(3));
    EXPECT_EQ(sandbox.read("/etc/ntp.conf"), conf_with(10));
    EXPECT_EQ(sandbox.log_count("<ERR> Cannot edit /var/kelvatro/conf/ntp.conf: status 1\n"), 1);
    set_stratum(6);
    EXPECT_EQ(sandbox.read("/etc/ntp.conf"), conf_with(6));
}

// A delivery or unit that cannot be used is reported at start and the unit
// steps the clock: ntp.conf keeps its local clock.
TEST_F(NtpServer, UnusableDeliveryFallsBackToStep) {
    const std::string shm = "ORV_TIME_DELIVERY=shm\n", step = ": time delivery step\n";
    const std::pair<std::string, std::string> cases[] = {
        {shm + "ORV_SHM_UNIT=256", "ORV_SHM_UNIT \"256\" is no unit from 0 to 255" + step},
        {shm, "ORV_SHM_UNIT \"\" is no unit from 0 to 255" + step},
        {"ORV_TIME_DELIVERY=SHM", "ORV_TIME_DELIVERY \"SHM\" is unknown" + step},
        {"ORV_NTP_DAEMON=ntpd", "ORV_NTP_DAEMON \"ntpd\" is unknown: sudo /etc/init.d/ntp start\n"},
    };
    for (const auto& [settings, line] : cases) {
        sandbox.write("/etc/default/orv-main", settings);
        deploy_settings_reload();
        sandbox.remove("/var/www/StatusLog.txt");
        ntp_server = NtpServerState{0, 16, 0};
        sandbox.write(kConf, conf_with(3));
        ntp_server_report_settings();
        set_stratum(6);
        EXPECT_EQ(sandbox.log(), " <ERR> " + line) << settings;
        EXPECT_EQ(sandbox.read(kConf), conf_with(6)) << settings;
    }
}

// The date command is given the broadcast time carried forward by the median
// of the last eight runs' times, so that the clock it sets is not behind by its
// own start-up: none before a run (the time as read), across midnight, and the
// ninth run's time pushing out the first's.
TEST_F(NtpServer, DateCommandCarriedForwardByItsMedianRecentRunTime) {
    const std::tuple<std::vector<int64_t>, int, int, const char*> cases[] = {
        // runs noted (us), TOT time (s of 07:08:xx / 23:59:59), fraction (us), command
        {{}, 9, 5042, "2023/2/5 07:08:09.005042"},
        {{130000, 100000, 120000}, 9, 5042, "2023/2/5 07:08:09.125042"},
        {{100000}, -1, 950000, "2023/2/6 00:00:00.050000"},
        {{90000, 200000, 200000, 200000, 200000, 200000, 200000, 200000, 300000},
         9,
         0,
         "2023/2/5 07:08:09.200000"},
    };
    for (const auto& [runs, second, fraction_us, date] : cases) {
        clock_command_latency_reset();
        for (const int64_t run_us : runs)
            clock_command_latency_note(run_us);
        tot_state.milliseconds = fraction_us / 1000;
        tot_state.microseconds = fraction_us % 1000;
        capture_stdout([second] {
            if (second < 0)
                set_system_time(2023, 2, 5, 23, 59, 59, 0);
            else
                set_system_time(2023, 2, 5, 7, 8, second, 0);
        });
        EXPECT_EQ(sandbox.journal().back(), std::string("/bin/date -s \"") + date + "\"") << date;
    }
    clock_command_latency_reset();
}

// With shm delivery an alignment to the FPGA clock is a sample (the count of
// mode 1 up by two) until the holdover begins, when that clock runs free too.
TEST_F(NtpServer, NoAlignmentSampleInTheHoldover) {
    const int unit = 2 + getpid() % 254;
    sandbox.write("/etc/default/orv-main",
                  "ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=" + std::to_string(unit) + "\n");
    deploy_settings_reload();
    deliver_broadcast_time({2023, 2, 5}, {0, 7, 8, 9}, 1); // the segment made
    for (const bool serving : {false, true}) {
        holdover.serving = serving;
        const int before = ntp_shm_last_count();
        deliver_broadcast_time({2023, 2, 5}, {0, 7, 8, 9}, 1);
        EXPECT_EQ(ntp_shm_last_count() - before, serving ? 0 : 2) << serving;
    }
    holdover = HoldoverState{};
    time_delivery_reset();
    shmctl(shmget(key_t(0x4E545030 + unit), 0, 0), IPC_RMID, nullptr);
}
