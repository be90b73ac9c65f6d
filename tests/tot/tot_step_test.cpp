// The TOT step against the simulated FPGA and tuner, one tick per simulated
// second on the manual sim clock.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "os/pace.h"
#include "review_b_text.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "tot/ntp_server.h"
#include "tot/tot_state.h"
#include "tot/tot_step.h"
#include "tuner/tuner_control.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr const char* kSetupPath = "/var/kelvatro/conf/Setup_05_01.ini";
constexpr const char* kStatusPath = "/var/kelvatro/conf/Status_05_01.txt";
constexpr const char* kNtpConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kEnd = "echo END > /var/kelvatro/maincontrol";

// Every frame sent to the FPGA, with the tick it was sent in.
struct SentFrame {
    int tick;
    std::array<uint8_t, 6> bytes;
};
std::vector<SentFrame> frames;
int current_tick = 0;

int recorder_open() {
    return sim_fpga_transport()->open();
}

void recorder_exchange(uint8_t* frame, size_t length) {
    if (length == 6) {
        SentFrame sent{current_tick, {}};
        std::copy(frame, frame + 6, sent.bytes.begin());
        frames.push_back(sent);
    }
    sim_fpga_transport()->exchange(frame, length);
}

constexpr SpiTransport kRecorder{"recorder", recorder_open, recorder_exchange};

std::string conf_with(int stratum) {
    return "server 127.127.1.0\nfudge 127.127.1.0 stratum " + std::to_string(stratum) + "\n";
}

class TotStep : public SandboxTest {
  protected:
    void SetUp() override {
        frames.clear();
        current_tick = 0;
        tot_state_reset();
        ntp_server = NtpServerState{0, 16};
        system_settings.SystemInfo = kTotFunctionBit;
        system_settings.CustumInfo = 0;
        sim_world_reset();
        sim_clock_set_manual(true);
        world("tot-period 1");
        world("broadcast 2023-02-25 12:00:00");
        // A quarter second past each whole broadcast second.
        sim_clock_advance(250000);
        sandbox.write(kNtpConf, conf_with(10));
        spi_set_transport(&kRecorder);
        ASSERT_EQ(SpiOpen(), 0);
        tuner_lib_set_path(ORV_SIMTUNER_PATH);
    }

    void TearDown() override {
        std::lock_guard lock(tot_mutex);
        tuner_terminate();
    }

    static void world(const char* line) { ASSERT_EQ(sim_world_apply(line), 0) << line; }

    // What start-up does for the time service.
    void start() {
        capture_stdout([] {
            std::lock_guard lock(tot_mutex);
            tot_read_settings(kSetupPath, tot_settings);
            tuner_init();
            SpiWrite32(0x6300, 0xA014, 1);
            tuner_start(tot_settings);
        });
    }

    // One tick: a simulated second passes, then the step runs. Returns its
    // standard output.
    std::string tick() {
        sim_clock_advance(1000000);
        ++current_tick;
        dates_before_tick = date_commands().size();
        return capture_stdout([] {
            std::lock_guard lock(tot_mutex);
            tot_step(tot_settings, tot_status);
        });
    }

    std::string ticks(int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += tick();
        return out;
    }

    // Broadcast clock sets of the last tick.
    size_t takes_in_last_tick() const { return date_commands().size() - dates_before_tick; }

    int journal_count(const std::string& command) const {
        int n = 0;
        for (const auto& c : sandbox.journal())
            n += c == command;
        return n;
    }

    std::vector<std::string> date_commands() const {
        std::vector<std::string> out;
        for (const auto& c : sandbox.journal())
            if (c.starts_with("/bin/date -s ")) out.push_back(c);
        return out;
    }

    std::string status_log() const { return sandbox.read("/var/www/StatusLog.txt"); }

    // Values written in a tick to the TOT capture control (0x6300) or the GPIO
    // output (0x6200), each checked to be followed by its readback.
    std::vector<uint32_t> capture_writes(int in_tick, uint8_t reg = 0x63) const {
        std::vector<uint32_t> values;
        for (size_t i = 0; i < frames.size(); ++i) {
            const auto& f = frames[i];
            if (f.tick != in_tick || f.bytes[0] != reg || f.bytes[1] != 0x00) continue;
            values.push_back(uint32_t(f.bytes[2]) << 24 | uint32_t(f.bytes[3]) << 16 |
                             uint32_t(f.bytes[4]) << 8 | f.bytes[5]);
            EXPECT_TRUE(i + 1 < frames.size() && frames[i + 1].bytes[0] == (reg | 0x80) &&
                        frames[i + 1].bytes[1] == 0x00)
                << "register written without readback in tick " << in_tick;
        }
        return values;
    }

    size_t dates_before_tick = 0;
};

} // namespace

TEST_F(TotStep, FirstTakeSetsClockStartsServerAndLogsNoUpdate) {
    start();
    ticks(3);
    EXPECT_TRUE(date_commands().empty());
    const std::string out = tick();
    EXPECT_NE(out.find("CMD > /bin/date -s \"2023/2/25 12:00:04.250000\"\n"), std::string::npos);
    EXPECT_EQ(date_commands(),
              std::vector<std::string>{"/bin/date -s \"2023/2/25 12:00:04.250000\""});
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp start"), 1);
    EXPECT_EQ(count(status_log(), "Start TOT Time Server\n"), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated"), 0);
    EXPECT_EQ(capture_writes(4), std::vector<uint32_t>{0x0014});
    EXPECT_EQ(capture_writes(4, 0x62), std::vector<uint32_t>{0x4500});
    const std::string status = sandbox.read(kStatusPath);
    for (const char* line : {"Now_TunerLock=1\t", "Now_TOTNTP=1\t", "Now_TOTDATE=2023/02/25\t\t;",
                             "Now_TOTTIME=12:00:04\t;"})
        EXPECT_NE(status.find(line), std::string::npos) << line;
}

TEST_F(TotStep, OneTakeInFourTicksWithTheFlagAlwaysUp) {
    start();
    ticks(4);
    for (int t = 5; t <= 44; ++t) {
        tick();
        const bool take_tick = t % 4 == 0;
        EXPECT_EQ(takes_in_last_tick(), take_tick ? 1u : 0u) << "tick " << t;
        // The capture is stopped at each take and re-armed on the third tick after it.
        const auto writes = capture_writes(t);
        if (take_tick)
            EXPECT_EQ(writes, std::vector<uint32_t>{0x0014}) << "tick " << t;
        else if (t % 4 == 3)
            EXPECT_EQ(writes, std::vector<uint32_t>{0xA014}) << "tick " << t;
        else
            EXPECT_TRUE(writes.empty()) << "tick " << t;
    }
    const auto dates = date_commands();
    ASSERT_EQ(dates.size(), 11u);
    EXPECT_EQ(dates[10], "/bin/date -s \"2023/2/25 12:00:44.250000\"");
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp start"), 1);
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
    tick();
    EXPECT_EQ(count(status_log(), "Failed to get TOT ( Lock:OK / CH:UHF-27 / BER:OK / "
                                  "TOT:2023/02/25 12:00:04 )\n"),
              1);
    world("tot on");
    tick();
    EXPECT_EQ(count(status_log(), "TOT Updated ( Lock:OK / CH:UHF-27 / BER:OK / "
                                  "TOT:2023/02/25 12:01:15 )\n"),
              1);
    ticks(120);
    EXPECT_EQ(count(status_log(), "Failed to get TOT"), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated"), 1);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp stop"), 0);
}

// Nine failed statistics reads in a row do not restart the tuner; the tenth
// does, with reason 0, and its tuner start stops the server.
TEST_F(TotStep, TenStatisticsFailuresInARowRestartTheTuner) {
    pace_set_tick_ms(10);
    start();
    ticks(4);
    world("tuner silent");
    std::string out = ticks(9);
    for (int i = 1; i <= 9; ++i)
        EXPECT_EQ(count(out, "<ERROR> SMS_GET_STATUS_ERROR !! [" + std::to_string(i) + "]\n"), 1);
    world("tuner normal");
    tick();
    world("tuner silent");
    out = ticks(9);
    EXPECT_EQ(count(out, "[10]"), 0);
    EXPECT_EQ(count(status_log(), "Tuner Restart"), 0);
    EXPECT_EQ(ntp_server.running, 1);
    out = tick();
    EXPECT_EQ(count(out, "<ERROR> SMS_GET_STATUS_ERROR !! [10]\n"), 1);
    EXPECT_EQ(count(status_log(), "Tuner Restart (0)\n"), 1);
    EXPECT_EQ(ntp_server.running, 0);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp stop"), 1);
    EXPECT_EQ(count(tick(), "<ERROR> SMS_GET_STATUS_ERROR !! [1]\n"), 1);
}

TEST_F(TotStep, LossOfLockIndicatesAlignsRetunesAndKeepsTheServerRunning) {
    pace_set_tick_ms(10);
    start();
    ticks(4);
    world("signal off");
    // Three bad readings unlock the filter, on the tick that re-arms the
    // capture; the next tick is the first counted one.
    ticks(3);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    tick();
    EXPECT_EQ(sim_fpga_gpio_output(), 0x0100u);
    EXPECT_NE(sandbox.read(kStatusPath).find("Now_TunerLock=0\t"), std::string::npos);
    // Unlocked counts 1 to 4, then the fifth aligns the clock to the FPGA.
    EXPECT_EQ(count(ticks(3), "FPGA time adjust"), 0);
    EXPECT_EQ(tick(), "FPGA time adjust > /bin/date -s \"2023/2/25 12:00:12.250000\"\n");
    EXPECT_EQ(count(ticks(5), "FPGA time adjust > "), 1);
    // The sixtieth unlocked tick in a row retunes, and the count starts again.
    EXPECT_EQ(count(ticks(49), "Retuning\n"), 0);
    EXPECT_EQ(count(tick(), "Retuning\n"), 1);
    EXPECT_EQ(count(ticks(59), "Retuning\n"), 0);
    EXPECT_EQ(count(tick(), "Retuning\n"), 1);
    EXPECT_EQ(ntp_server.running, 1);
}

TEST_F(TotStep, SixHundredLockedTicksWithoutFlagRestart) {
    world("tot off");
    start();
    // Three ticks until the lock, then 600 counted ticks; each thirtieth
    // stops the capture, and the three ticks after it are not counted.
    std::string out = ticks(659);
    EXPECT_EQ(count(out, "JST FLAG TIMEOUT"), 0);
    EXPECT_EQ(capture_writes(33), std::vector<uint32_t>{0x0014});
    EXPECT_EQ(capture_writes(36), std::vector<uint32_t>{0xA014});
    EXPECT_EQ(capture_writes(66), std::vector<uint32_t>{0x0014});
    EXPECT_TRUE(capture_writes(65).empty());
    out = tick();
    EXPECT_EQ(count(out, "<ERROR> JST FLAG TIMEOUT !!\n"), 1);
    EXPECT_EQ(count(status_log(), "Tuner Restart (1)\n"), 1);
    // With the server never started, no failure period is logged.
    EXPECT_EQ(count(status_log(), "Failed to get TOT"), 0);
}

TEST_F(TotStep, RepeatedTimeWordIndicatesFailureFromTheThirdRead) {
    start();
    ticks(4);
    world("time-word frozen");
    ticks(4); // the frozen word is still new once
    ASSERT_EQ(takes_in_last_tick(), 1u);
    ticks(5);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    EXPECT_TRUE(capture_writes(13).empty());
    tick();
    EXPECT_EQ(sim_fpga_gpio_output(), 0x8900u);
    EXPECT_EQ(capture_writes(14), std::vector<uint32_t>{0x0014});
    world("time-word running");
    ticks(4);
    EXPECT_EQ(takes_in_last_tick(), 1u);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
}

TEST_F(TotStep, SwitchHeldFiveTicksEndsTheProgram) {
    start();
    world("switch on");
    const uint32_t expected[] = {0x8900, 0x8900, 0x8900, 0x0A00, 0x0A00};
    for (int i = 0; i < 5; ++i) {
        tick();
        EXPECT_EQ(sim_fpga_gpio_output(), expected[i]) << "tick " << i + 1;
        EXPECT_EQ(journal_count(kEnd), std::max(0, i - 2)) << "tick " << i + 1;
    }
    world("switch off");
    tick();
    EXPECT_EQ(tot_state.switch_count, 0);
}

// The variant bit: the switch is not looked at, and the status file shows the
// configured stratum although the local clock gets 10.
TEST_F(TotStep, VariantBitIgnoresTheSwitch) {
    system_settings.CustumInfo = kVariantBit;
    start();
    world("switch on");
    ticks(5);
    EXPECT_EQ(journal_count(kEnd), 0);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    EXPECT_EQ(sandbox.read(kNtpConf), conf_with(10));
    EXPECT_NE(sandbox.read(kStatusPath).find("Now_TOTSTRATUM=11\t"), std::string::npos);
}

// Before any take the status file shows the reception with the BER limits and
// the date 0/00/00; a status file that cannot be written is logged each tick.
TEST_F(TotStep, StatusFileBeforeAnyTakeAndWhenItCannotBeWritten) {
    world("signal off");
    world("ber 3 250000");
    pace_set_tick_ms(10);
    start();
    tick();
    const std::string status = sandbox.read(kStatusPath);
    for (const char* line :
         {"Now_TunerLock=0\t", "Now_TOTNTP=0\t", "Now_TOTLevel=180\t", "Now_TOTSNR=28\t",
          "Now_TOTberA=3e-5\t", "Now_TOTberB=100000e-5\t", "Now_TOTber=250000\t",
          "Now_TOTDATE=0/00/00\t\t;", "Now_TOTTIME=00:00:00\t;"})
        EXPECT_NE(status.find(line), std::string::npos) << line;
    sandbox.remove(kStatusPath);
    sandbox.write(std::string(kStatusPath) + "/blocked", "");
    ticks(2);
    EXPECT_EQ(count(status_log(), "ステータスファイル保存に失敗しました。\n"), 2);
}
