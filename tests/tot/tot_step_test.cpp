// The TOT step against the simulated FPGA and tuner, one tick per simulated
// second on the manual sim clock.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "os/pace.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "text.h"
#include "tot/ntp_server.h"
#include "tot/tot_state.h"
#include "tot/tot_step.h"
#include "tot/tot_tuning.h"
#include "tuner/tuner_control.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char* kStatusPath = "/var/kelvatro/conf/Status_05_01.txt";
constexpr const char* kEnd = "echo END > /var/kelvatro/maincontrol";
constexpr const char* kNtpStart = "sudo /etc/init.d/ntp start";

// Values written to the GPIO output (0x62) or the capture control (0x63) in
// each tick, recorded only when the write's readback follows it.
std::map<std::pair<int, uint8_t>, std::vector<uint32_t>> written;
std::array<uint8_t, 6> previous;
int current_tick = 0;

void recorder_exchange(uint8_t* frame, size_t length) {
    const uint8_t reg = previous[0];
    if (length == 6 && (reg == 0x62 || reg == 0x63) && previous[1] == 0 &&
        frame[0] == (reg | 0x80) && frame[1] == 0)
        written[{current_tick, reg}].push_back(uint32_t(previous[2]) << 24 |
                                               uint32_t(previous[3]) << 16 |
                                               uint32_t(previous[4]) << 8 | previous[5]);
    if (length == 6) std::copy(frame, frame + 6, previous.begin());
    sim_fpga_transport()->exchange(frame, length);
}

constexpr SpiTransport kRecorder{"recorder", [] { return sim_fpga_transport()->open(); },
                                 recorder_exchange};

using Writes = std::vector<uint32_t>;

class TotStep : public SandboxTest {
  protected:
    void SetUp() override {
        written.clear();
        previous = {};
        current_tick = 0;
        tot_state_reset();
        ntp_server = NtpServerState{0, 16};
        pace_set_tick_ms(1000);
        system_settings.SystemInfo = kTotFunctionBit;
        system_settings.CustumInfo = 0;
        sim_world_reset();
        sim_clock_set_manual(true);
        world("tot-period 1");
        world("broadcast 2023-02-05 07:00:00");
        sim_clock_advance(5042); // 5.042 ms past each broadcast second
        sandbox.write("/var/kelvatro/conf/ntp.conf", "fudge 127.127.1.0 stratum 10\n");
        spi_set_transport(&kRecorder);
        ASSERT_EQ(SpiOpen(), 0);
        tuner_lib_set_path(ORV_SIMTUNER_PATH);
    }

    void TearDown() override {
        std::lock_guard lock(tot_mutex);
        tuner_terminate();
        pace_set_tick_ms(1000);
    }

    // A silent tuner's requests time out: quickly, on short ticks.
    static void tuner_silent(bool silent) {
        world(silent ? "tuner silent" : "tuner normal");
        pace_set_tick_ms(silent ? 10 : 1000);
    }

    static void world(const char* line) { ASSERT_EQ(sim_world_apply(line), 0) << line; }

    // What start-up does for the time service.
    void start() {
        capture_stdout([] {
            std::lock_guard lock(tot_mutex);
            tot_read_settings("/var/kelvatro/conf/Setup_05_01.ini", tot_settings);
            tuner_init();
            SpiWrite32(0x6300, 0xA014, 1);
            tot_tuner_start(tot_settings);
        });
    }

    // n ticks, each a simulated second and then the step; their standard output.
    std::string ticks(int n = 1) {
        std::string out;
        for (int i = 0; i < n; ++i) {
            sim_clock_advance(1000000);
            ++current_tick;
            out += capture_stdout([] {
                std::lock_guard lock(tot_mutex);
                tot_step(tot_settings, tot_status);
            });
        }
        return out;
    }

    static int takes(const std::string& out) { return count(out, "CMD > /bin/date -s "); }
    static Writes capture_writes(int tick) { return written[{tick, 0x63}]; }
    int journaled(const std::string& command) const {
        return int(std::ranges::count(sandbox.journal(), command));
    }
    std::string status_log() const { return sandbox.read("/var/www/StatusLog.txt"); }
    bool status_has(const char* line) const {
        return sandbox.read(kStatusPath).find(line) != std::string::npos;
    }
};

} // namespace

TEST_F(TotStep, FirstTakeSetsClockStartsServerAndLogsNoUpdate) {
    start();
    EXPECT_EQ(takes(ticks(3)), 0);
    EXPECT_TRUE(status_has("Now_TOTDATE=0/00/00\t\t;"));
    EXPECT_TRUE(status_has("Now_TOTTIME=00:00:00\t;"));
    EXPECT_EQ(count(ticks(), "CMD > /bin/date -s \"2023/2/5 07:00:04.005042\"\n"), 1);
    EXPECT_EQ(journaled(kNtpStart), 1);
    EXPECT_EQ(count(status_log(), "Start TOT Time Server\n"), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated"), 0);
    EXPECT_EQ(capture_writes(4), Writes{0x0014});
    EXPECT_EQ((written[{4, 0x62}]), Writes{0x4500});
    for (const char* line : {"Now_TunerLock=1\t", "Now_TOTNTP=1\t", "Now_TOTDATE=2023/02/05\t\t;",
                             "Now_TOTTIME=07:00:04\t;"})
        EXPECT_TRUE(status_has(line)) << line;
}

// The capture is stopped at each take and re-armed on the third tick after it.
TEST_F(TotStep, OneTakeInFourTicksWithTheFlagAlwaysUp) {
    start();
    ticks(4);
    for (int t = 5; t <= 44; ++t) {
        EXPECT_EQ(takes(ticks()), t % 4 == 0) << "tick " << t;
        const Writes want = t % 4 == 0 ? Writes{0x0014} : t % 4 == 3 ? Writes{0xA014} : Writes{};
        EXPECT_EQ(capture_writes(t), want) << "tick " << t;
    }
    EXPECT_EQ(sandbox.journal().back(), "/bin/date -s \"2023/2/5 07:00:44.005042\"");
    EXPECT_EQ(journaled(kNtpStart), 1);
}

// A failure period while the server runs logs "Failed to get TOT" once, and
// the next take its "TOT Updated".
TEST_F(TotStep, FailurePeriodLogsItsPairOnce) {
    start();
    ticks(4);
    world("tot off");
    // Sixty-one counted ticks; three more wait after the take and after each
    // thirtieth tick without the flag.
    ticks(69);
    EXPECT_EQ(count(status_log(), "Failed to get TOT"), 0);
    ticks();
    EXPECT_EQ(count(status_log(), "Failed to get TOT ( Lock:OK / CH:UHF-27 / BER:OK / "
                                  "TOT:2023/02/05 07:00:04 )\n"),
              1);
    world("tot on");
    ticks(121);
    EXPECT_EQ(count(status_log(), "TOT Updated ( Lock:OK / CH:UHF-27 / BER:OK / "
                                  "TOT:2023/02/05 07:01:15 )\n"),
              1);
    EXPECT_EQ(count(status_log(), "Failed to get TOT"), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated"), 1);
}

// Nine failed statistics reads in a row do not restart the tuner; the tenth
// does, with reason 0, and its tuner start stops the server.
TEST_F(TotStep, TenStatisticsFailuresInARowRestartTheTuner) {
    start();
    ticks(4);
    tuner_silent(true);
    EXPECT_EQ(count(ticks(9), "<ERROR> SMS_GET_STATUS_ERROR !! [9]\n"), 1);
    tuner_silent(false);
    ticks();
    tuner_silent(true);
    EXPECT_EQ(count(ticks(9), "[10]"), 0);
    EXPECT_EQ(ntp_server.running, 1);
    EXPECT_EQ(count(ticks(), "<ERROR> SMS_GET_STATUS_ERROR !! [10]\n"), 1);
    EXPECT_EQ(count(status_log(), "Tuner Restart (0)\n"), 1);
    EXPECT_EQ(journaled("sudo /etc/init.d/ntp stop"), 1);
    EXPECT_EQ(count(status_log(), "Stop TOT Time Server\n"), 1);
    EXPECT_EQ(count(ticks(), "<ERROR> SMS_GET_STATUS_ERROR !! [1]\n"), 1);
}

// Three bad readings unlock; the fifth unlocked tick aligns the clock to the
// FPGA, the sixtieth retunes, and the server keeps running.
TEST_F(TotStep, LossOfLockIndicatesAlignsRetunesAndKeepsTheServerRunning) {
    pace_set_tick_ms(100); // the retunes wait for a signal that stays away
    start();
    ticks(4);
    world("signal off");
    ticks(3);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    ticks();
    EXPECT_EQ(sim_fpga_gpio_output(), 0x0100u);
    EXPECT_TRUE(status_has("Now_TunerLock=0\t"));
    EXPECT_EQ(count(ticks(3), "FPGA time adjust"), 0);
    EXPECT_EQ(ticks(), "FPGA time adjust > /bin/date -s \"2023/2/5 07:00:12.005042\"\n");
    const std::string out = ticks(54);
    EXPECT_EQ(count(out, "FPGA time adjust > "), 10); // every fifth unlocked tick
    EXPECT_EQ(count(out, "Retuning\n"), 0);
    EXPECT_EQ(count(ticks(), "Retuning\n"), 1);
    EXPECT_EQ(count(ticks(59), "Retuning\n"), 0);
    EXPECT_EQ(count(ticks(), "Retuning\n"), 1);
    EXPECT_EQ(ntp_server.running, 1);
}

// Three ticks until the lock, then 600 counted ticks; each thirtieth stops the
// capture, and the three ticks after it are not counted.
TEST_F(TotStep, SixHundredLockedTicksWithoutFlagRestart) {
    world("tot off");
    start();
    EXPECT_EQ(count(ticks(659), "JST FLAG TIMEOUT"), 0);
    EXPECT_EQ(capture_writes(33), Writes{0x0014});
    EXPECT_EQ(capture_writes(36), Writes{0xA014});
    EXPECT_EQ(count(ticks(), "<ERROR> JST FLAG TIMEOUT !!\n"), 1);
    EXPECT_EQ(count(status_log(), "Tuner Restart (1)\n"), 1);
    EXPECT_EQ(count(status_log(), "Failed to get TOT"), 0); // the server never ran
}

// The frozen word is still new once; its third repeated read indicates failure.
TEST_F(TotStep, RepeatedTimeWordIndicatesFailureFromTheThirdRead) {
    start();
    ticks(4);
    world("time-word frozen");
    EXPECT_EQ(takes(ticks(4)), 1);
    ticks(5);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    ticks();
    EXPECT_EQ(sim_fpga_gpio_output(), 0x8900u);
    EXPECT_EQ(capture_writes(14), Writes{0x0014});
}

TEST_F(TotStep, SwitchHeldFiveTicksEndsTheProgram) {
    start();
    world("switch on");
    const uint32_t expected[] = {0x8900, 0x8900, 0x8900, 0x0A00, 0x0A00};
    for (int i = 0; i < 5; ++i) {
        ticks();
        EXPECT_EQ(sim_fpga_gpio_output(), expected[i]) << "tick " << i + 1;
        EXPECT_EQ(journaled(kEnd), std::max(0, i - 2)) << "tick " << i + 1;
    }
}

// With the variant bit the switch is not looked at, and the status file shows
// the configured stratum.
TEST_F(TotStep, VariantBitIgnoresTheSwitch) {
    system_settings.CustumInfo = kVariantBit;
    start();
    world("switch on");
    ticks(5);
    EXPECT_EQ(journaled(kEnd), 0);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    EXPECT_TRUE(status_has("Now_TOTSTRATUM=11\t"));
}

TEST_F(TotStep, StatusFileThatCannotBeWrittenIsLoggedEachTick) {
    start();
    sandbox.write(std::string(kStatusPath) + "/blocked", "");
    ticks(2);
    EXPECT_EQ(count(status_log(), "ステータスファイル保存に失敗しました。\n"), 2);
}
