// The NTP daemon control: the stratum edit that really runs grep, xargs and sed
// on the sandbox's ntp.conf, what is copied to /etc, the lines of the delivery
// run, the shm segment claimed before the daemon starts, the operator's reasons,
// the holdover's stratum, the date command's time.
#include "os/clock.h"
#include "os/deploy_settings.h"
#include "os/shell.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "tot/holdover.h"
#include "tot/ntp_daemon.h"
#include "tot/ntp_server.h"
#include "tot/ntp_shm.h"
#include "tot/time_delivery.h"
#include "tot/tot_state.h"

#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kFactory = "/usr/kelvatro/conf/ntp.conf";
constexpr const char* kCopy = "/etc/ntp.conf";
constexpr const char* kChronyConf = "/etc/chrony/conf.d/orv-main.conf";

std::string conf_with(int stratum) {
    return "server 127.127.1.0\nfudge 127.127.1.0 stratum " + std::to_string(stratum) +
           "\nrestrict 127.0.0.1\n";
}

class NtpServer : public SandboxTest {
  protected:
    void SetUp() override {
        ntp_server = NtpServerState{0, 16, 0};
        system_settings.CustumInfo = 0;
        sandbox.write(kFactory, "# factory\nrestrict 127.0.0.1\n");
    }
    void TearDown() override { time_delivery_reset(); }
    static void set_stratum(int stratum, int result = 0) {
        capture_stdout([=] { EXPECT_EQ(set_ntp_stratum(stratum), result); });
    }
    void settings(const std::string& text) {
        sandbox.write("/etc/default/orv-main", text);
        deploy_settings_reload();
    }
};

} // namespace

// Each request is written once, and copied (a sync after it): the variant's 10
// whatever is asked, else the nearest stratum that ntpd takes for its local
// clock (the clamp logged). The start value 16 is no written stratum: a first
// 16 is clamped too. The edit's command on a real ntp.conf: e2e served_time.
TEST_F(NtpServer, StratumEditWritesEachRequestOnceAndAFailedOneAtTheNextTick) {
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
        EXPECT_EQ(sandbox.read(kCopy), conf_with(written)) << requested;
        EXPECT_EQ(sandbox.journal().back(), "sync");
        set_stratum(requested);
        EXPECT_TRUE(!log || sandbox.log_count(log) == 1) << log;
    }
    EXPECT_EQ(sandbox.journal().size(), 2 * std::size(cases));
    EXPECT_EQ(sandbox.log_count(" out of range, "), 2);
    // An edit that fails (a full RAM disk) is logged once a run of failures
    // and not taken as written: each tick writes it again, and the write that
    // succeeds restarts a running daemon with it, its count logged.
    system_settings.CustumInfo = 0;
    sandbox.write(kConf, conf_with(3));
    shell_set_sandbox_runner([](const std::string&) { return 1; });
    set_stratum(6, -1);
    for (int tick = 0; tick < 3; ++tick)
        capture_stdout(ntp_server_retry_stratum);
    shell_set_sandbox_runner(nullptr);
    EXPECT_EQ(sandbox.read(kCopy), conf_with(10));
    EXPECT_EQ(sandbox.log_count("<ERR> Cannot edit /var/kelvatro/conf/ntp.conf: status 1\n"), 1);
    ntp_server.running = 1;
    capture_stdout(ntp_server_retry_stratum);
    EXPECT_EQ(sandbox.read(kCopy), conf_with(6));
    EXPECT_EQ(sandbox.journal().back(), "sudo /etc/init.d/ntp start");
    EXPECT_EQ(sandbox.log_count(" <INF> NTP daemon's configuration written after 4 failed tries\n"),
              1);
}

// chrony serves its local stratum itself: one above that of ntpd's local clock.
TEST_F(NtpServer, ChronyServesOneAboveTheLocalClockOfNtpd) {
    settings("ORV_NTP_DAEMON=chrony\n");
    sandbox.write(kChronyConf, "");
    set_stratum(6);
    EXPECT_EQ(
        sandbox.read(kChronyConf),
        "# Broadcast time (TOT) from orv-main, served to every client.\nlocal stratum 7\nallow\n");
}

// A delivery or unit that cannot be used is reported once and the unit
// steps the clock: ntp.conf keeps its local clock, and so does its copy (the
// clock lines of another delivery give way to it: MainTest).
TEST_F(NtpServer, UnusableDeliveryFallsBackToStep) {
    const std::string shm = "ORV_TIME_DELIVERY=shm\n", step = ": time delivery step\n";
    const std::pair<std::string, std::string> cases[] = {
        {shm + "ORV_SHM_UNIT=256", "ORV_SHM_UNIT \"256\" is no unit from 0 to 255" + step},
        {shm + "ORV_SHM_UNIT=+5", "ORV_SHM_UNIT \"+5\" is no unit from 0 to 255" + step},
        {shm, "ORV_SHM_UNIT \"\" is no unit from 0 to 255" + step},
        {"ORV_TIME_DELIVERY=SHM", "ORV_TIME_DELIVERY \"SHM\" is unknown" + step},
        {"ORV_NTP_DAEMON=ntpd", "ORV_NTP_DAEMON \"ntpd\" is unknown: sudo /etc/init.d/ntp start\n"},
    };
    for (const auto& [deployed, line] : cases) {
        settings(deployed);
        sandbox.remove("/var/www/StatusLog.txt");
        ntp_server = NtpServerState{0, 16, 0};
        sandbox.write(kConf, conf_with(3));
        ntp_daemon_report_settings();
        time_delivery_report();
        time_delivery_report(); // the next pass: logged once
        set_stratum(6);
        EXPECT_EQ(sandbox.log(), " <ERR> " + line) << deployed;
        EXPECT_EQ(sandbox.read(kCopy), conf_with(6)) << deployed;
    }
}

// Only the factory file's lines (while only root may write it) and the unit's
// own, whole, reach the daemon's copy; a working copy with any other line is
// reported and the daemon keeps the copy it has.
TEST_F(NtpServer, ALineTheUnitDoesNotWriteIsNotCopied) {
    const std::tuple<const char*, mode_t, uid_t> cases[] = {
        // the line, the factory file's mode and owner
        {"logfile /etc/cron.d/pwn # server 127.127.1.0", 0644, 0},
        {"restrict 127.0.0.1", 0664, 0},
        {"restrict 127.0.0.1", 0644, 65534}};
    const std::string refused = "<ERR> /var/kelvatro/conf/ntp.conf holds a line that the unit "
                                "does not write, not copied to /etc/: ";
    for (const auto& [line, factory_mode, factory_owner] : cases) {
        ASSERT_EQ(0, chown(sandbox.path(kFactory).c_str(), factory_owner, 0));
        chmod(sandbox.path(kFactory).c_str(), factory_mode);
        for (const char* path : {kCopy, "/var/www/StatusLog.txt"})
            sandbox.remove(path);
        ntp_server = NtpServerState{0, 16, 0};
        sandbox.write(kConf, conf_with(3) + line + "\n");
        set_stratum(6);
        EXPECT_FALSE(sandbox.exists(kCopy)) << line;
        EXPECT_EQ(sandbox.log_count(refused + line + "\n"), 1) << line;
    }
}

// In shm delivery the daemon runs only on a segment that the unit made itself:
// one made by another uid is removed and made anew for root, even when handed
// to root afterwards. Until the unit has its segment, ntp.conf names no
// shared-memory clock and the daemon is not started (logged once a run).
TEST_F(NtpServer, ShmDaemonRunsOnlyOnASegmentTheUnitMade) {
    const int unit = 2 + getpid() % 254;
    const key_t key = key_t(kNtpShmKeyBase + uint32_t(unit));
    settings("ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=" + std::to_string(unit) + "\n");
    const pid_t child = fork();
    if (child == 0) _exit(setuid(65534) == 0 && shmget(key, 96, IPC_CREAT | 0666) >= 0 ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    shmid_ds info{};
    ASSERT_EQ(shmctl(shmget(key, 0, 0), IPC_STAT, &info), 0);
    info.shm_perm.uid = 0;
    info.shm_perm.mode = 0600;
    ASSERT_EQ(shmctl(shmget(key, 0, 0), IPC_SET, &info), 0);

    sandbox.write(kConf, conf_with(3));
    set_stratum(6);
    EXPECT_EQ(sandbox.read(kCopy), "restrict 127.0.0.1\n");
    capture_stdout(ntp_server_start);
    capture_stdout(ntp_server_start);
    EXPECT_EQ(ntp_server.running, 0);
    const std::string u = std::to_string(unit);
    EXPECT_EQ(time_delivery_claim(), 0);
    capture_stdout(ntp_server_start); // with its clock lines (MainTest)
    EXPECT_EQ(ntp_server.running, 1);
    EXPECT_EQ(sandbox.log(),
              " <ERR> NTP daemon not started: no shared memory segment of the unit's own\n"
              " <ERR> NTP shared memory unit " +
                  u +
                  " was made by another user or writable by others: removed\n"
                  " <ERR> Repeated 1 more times: NTP daemon not started: no shared memory "
                  "segment of the unit's own\n"
                  " <INF> Start TOT Time Server\n");
    const int id = shmget(key, 0, 0);
    ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
    shmctl(id, IPC_RMID, nullptr);
    EXPECT_EQ(std::tuple(info.shm_perm.cuid, info.shm_perm.uid, info.shm_perm.mode & 0777),
              std::tuple(0u, 0u, 0600u));
}

// A stop for the operator's reason says it, and so does the next start; the
// unit's own stop that follows does not.
TEST_F(NtpServer, OperatorStopsAndTheirStartsCarryTheReason) {
    capture_stdout([] {
        ntp_server_stop("reset");
        ntp_server_start();
        ntp_server_stop();
    });
    EXPECT_EQ(sandbox.log(), " <INF> Stop TOT Time Server (reset)\n"
                             " <INF> Start TOT Time Server (reset)\n"
                             " <INF> Stop TOT Time Server\n");
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
        tot_capture.milliseconds = fraction_us / 1000;
        tot_capture.microseconds = fraction_us % 1000;
        capture_stdout([second] {
            if (second < 0)
                set_system_time(2023, 2, 5, 23, 59, 59, 0);
            else
                set_system_time(2023, 2, 5, 7, 8, second, 0);
        });
        EXPECT_EQ(sandbox.journal().end()[-2], std::string("/bin/date -s \"") + date + "\"")
            << date;
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
    time_delivery_reset(); // no segment nor holdover of an earlier test
    holdover = HoldoverState{};
    shmctl(shmget(key_t(0x4E545030 + unit), 0, 0), IPC_RMID, nullptr);
    deliver_broadcast_time({2023, 2, 5}, {0, 7, 8, 9},
                           BroadcastTime::alignment); // the segment made
    for (const bool serving : {false, true}) {
        holdover.serving = serving;
        const int before = ntp_shm_last_count();
        deliver_broadcast_time({2023, 2, 5}, {0, 7, 8, 9}, BroadcastTime::alignment);
        EXPECT_EQ(ntp_shm_last_count() - before, serving ? 0 : 2) << serving;
    }
    holdover = HoldoverState{};
    time_delivery_reset();
    shmctl(shmget(key_t(0x4E545030 + unit), 0, 0), IPC_RMID, nullptr);
}
