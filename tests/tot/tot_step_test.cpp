// The TOT step against the simulated FPGA and tuner, one tick per simulated
// second on the manual sim clock.
#include "board/spi_regs.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "os/pace.h"
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

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
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
    std::string start() {
        return capture_stdout([] {
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
        const size_t journal_before = sandbox.journal().size();
        const std::string out = capture_stdout([] {
            std::lock_guard lock(tot_mutex);
            tot_step(tot_settings, tot_status);
        });
        const auto journal = sandbox.journal();
        last_tick_commands.assign(journal.begin() + long(journal_before), journal.end());
        return out;
    }

    std::string ticks(int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += tick();
        return out;
    }

    // Broadcast clock sets of the last tick.
    int takes_in_last_tick() const {
        int n = 0;
        for (const auto& c : last_tick_commands)
            n += starts_with(c, "/bin/date -s ");
        return n;
    }

    int journal_count(const std::string& command) const {
        int n = 0;
        for (const auto& c : sandbox.journal())
            n += c == command;
        return n;
    }

    std::vector<std::string> date_commands() const {
        std::vector<std::string> out;
        for (const auto& c : sandbox.journal())
            if (starts_with(c, "/bin/date -s ")) out.push_back(c);
        return out;
    }

    std::string status_log() const { return sandbox.read("/var/www/StatusLog.txt"); }

    // Values written to the TOT capture control in a tick, each checked to be
    // followed by its readback.
    std::vector<uint32_t> capture_writes(int in_tick) const {
        std::vector<uint32_t> values;
        for (size_t i = 0; i < frames.size(); ++i) {
            const auto& f = frames[i];
            if (f.tick != in_tick || f.bytes[0] != 0x63 || f.bytes[1] != 0x00) continue;
            values.push_back(uint32_t(f.bytes[2]) << 24 | uint32_t(f.bytes[3]) << 16 |
                             uint32_t(f.bytes[4]) << 8 | f.bytes[5]);
            EXPECT_TRUE(i + 1 < frames.size() && frames[i + 1].bytes[0] == 0xE3 &&
                        frames[i + 1].bytes[1] == 0x00)
                << "capture control written without readback in tick " << in_tick;
        }
        return values;
    }

    std::vector<std::string> last_tick_commands;
};

} // namespace

TEST_F(TotStep, FirstTakeSetsClockStartsServerAndLogsNoUpdate) {
    const std::string started = start();
    EXPECT_NE(started.find("set_ntp_stratum 16 => 6\n"), std::string::npos);
    ticks(3);
    EXPECT_EQ(date_commands().size(), 0u);
    const std::string out = tick();
    ASSERT_EQ(takes_in_last_tick(), 1);
    EXPECT_NE(out.find("CMD > /bin/date -s \"2023/2/25 12:00:04.250000\"\n"), std::string::npos);
    EXPECT_EQ(date_commands()[0], "/bin/date -s \"2023/2/25 12:00:04.250000\"");
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    EXPECT_EQ(ntp_server.running, 1);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp start"), 1);
    EXPECT_EQ(count(status_log(), "Start TOT Time Server\n"), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated"), 0);
    EXPECT_EQ(capture_writes(4), std::vector<uint32_t>{0x0014});
    // The indication is written with its readback too.
    const auto gpio_write = std::find_if(frames.begin(), frames.end(), [](const SentFrame& f) {
        return f.tick == 4 && f.bytes == std::array<uint8_t, 6>{0x62, 0x00, 0x00, 0x00, 0x45, 0x00};
    });
    ASSERT_NE(gpio_write, frames.end());
    ASSERT_NE(gpio_write + 1, frames.end());
    EXPECT_EQ((gpio_write + 1)->bytes[0], 0xE2);
    EXPECT_EQ((gpio_write + 1)->bytes[1], 0x00);

    const std::string status = sandbox.read(kStatusPath);
    EXPECT_NE(status.find("Now_TunerLock=1\t"), std::string::npos);
    EXPECT_NE(status.find("Now_TOTNTP=1\t"), std::string::npos);
    EXPECT_NE(status.find("Now_TOTDATE=2023/02/25\t\t;"), std::string::npos);
    EXPECT_NE(status.find("Now_TOTTIME=12:00:04\t;"), std::string::npos);
}

TEST_F(TotStep, OneTakeInFourTicksWithTheFlagAlwaysUp) {
    start();
    ticks(4);
    ASSERT_EQ(takes_in_last_tick(), 1);
    for (int t = 5; t <= 44; ++t) {
        tick();
        const bool take_tick = t % 4 == 0;
        EXPECT_EQ(takes_in_last_tick(), take_tick ? 1 : 0) << "tick " << t;
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
    EXPECT_EQ(dates[1], "/bin/date -s \"2023/2/25 12:00:08.250000\"");
    EXPECT_EQ(dates[10], "/bin/date -s \"2023/2/25 12:00:44.250000\"");
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp start"), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated"), 0);
}

TEST_F(TotStep, FailurePeriodLogsItsPairOnce) {
    start();
    ticks(4);
    ASSERT_EQ(takes_in_last_tick(), 1);
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
    ASSERT_EQ(takes_in_last_tick(), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated ( Lock:OK / CH:UHF-27 / BER:OK / "
                                  "TOT:2023/02/25 12:01:15 )\n"),
              1);
    ticks(120);
    EXPECT_EQ(count(status_log(), "Failed to get TOT"), 1);
    EXPECT_EQ(count(status_log(), "TOT Updated"), 1);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp start"), 1);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp stop"), 0);
}

TEST_F(TotStep, NoFailureLineWhileTheServerIsStopped) {
    world("tot off");
    start();
    ticks(200);
    EXPECT_EQ(count(status_log(), "Failed to get TOT"), 0);
}

TEST_F(TotStep, TenStatisticsFailuresRestartTheTuner) {
    pace_set_tick_ms(10);
    start();
    ticks(4);
    ASSERT_EQ(ntp_server.running, 1);
    world("tuner silent");
    std::string out;
    for (int i = 1; i <= 9; ++i) {
        out = tick();
        EXPECT_NE(out.find("<ERROR> SMS_GET_STATUS_ERROR !! [" + std::to_string(i) + "]\n"),
                  std::string::npos);
    }
    EXPECT_EQ(count(status_log(), "Tuner Restart"), 0);
    out = tick();
    EXPECT_NE(out.find("<ERROR> SMS_GET_STATUS_ERROR !! [10]\n"), std::string::npos);
    EXPECT_EQ(count(status_log(), "Tuner Restart (0)\n"), 1);
    // The restart ends in a tuner start, which stops the server.
    EXPECT_EQ(ntp_server.running, 0);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp stop"), 1);
    out = tick();
    EXPECT_NE(out.find("<ERROR> SMS_GET_STATUS_ERROR !! [1]\n"), std::string::npos);
}

TEST_F(TotStep, NineStatisticsFailuresDoNotRestart) {
    pace_set_tick_ms(10);
    start();
    world("tuner silent");
    ticks(9);
    world("tuner normal");
    tick();
    world("tuner silent");
    const std::string out = ticks(9);
    EXPECT_NE(out.find("<ERROR> SMS_GET_STATUS_ERROR !! [9]\n"), std::string::npos);
    EXPECT_EQ(out.find("[10]"), std::string::npos);
    EXPECT_EQ(count(status_log(), "Tuner Restart"), 0);
}

TEST_F(TotStep, SixtyUnlockedTicksRetune) {
    pace_set_tick_ms(10);
    world("signal off");
    start();
    const std::string before = ticks(59);
    EXPECT_EQ(count(before, "Retuning\n"), 0);
    EXPECT_EQ(count(tick(), "Retuning\n"), 1);
    EXPECT_EQ(count(ticks(59), "Retuning\n"), 0);
    EXPECT_EQ(count(tick(), "Retuning\n"), 1);
    EXPECT_EQ(date_commands().size(), 0u);
    EXPECT_EQ(tot_status.lock, 0);
}

TEST_F(TotStep, LossOfLockIndicatesAndKeepsServerRunning) {
    pace_set_tick_ms(10);
    start();
    ticks(4);
    ASSERT_EQ(sim_fpga_gpio_output(), 0x4500u);
    world("signal off");
    // Three bad readings unlock the filter, on the tick that re-arms the
    // capture; the next tick is the first counted one.
    ticks(3);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    tick();
    EXPECT_EQ(sim_fpga_gpio_output(), 0x0100u);
    EXPECT_EQ(ntp_server.running, 1);
    const std::string status = sandbox.read(kStatusPath);
    EXPECT_NE(status.find("Now_TunerLock=0\t"), std::string::npos);
    EXPECT_NE(status.find("Now_TOTNTP=1\t"), std::string::npos);
    // Unlocked counts 1 to 4, then the fifth aligns the clock to the FPGA.
    EXPECT_EQ(count(ticks(3), "FPGA time adjust"), 0);
    EXPECT_EQ(tick(), "FPGA time adjust > /bin/date -s \"2023/2/25 12:00:12.250000\"\n");
    EXPECT_EQ(count(ticks(5), "FPGA time adjust > "), 1);
    EXPECT_EQ(journal_count("sudo /etc/init.d/ntp stop"), 0);
}

TEST_F(TotStep, SixHundredLockedTicksWithoutFlagRestart) {
    world("tot off");
    start();
    // Three ticks until the lock, then 600 counted ticks; each thirtieth
    // stops the capture, and the three ticks after it are not counted.
    std::string out = ticks(659);
    EXPECT_EQ(count(out, "JST FLAG TIMEOUT"), 0);
    EXPECT_EQ(count(status_log(), "Tuner Restart"), 0);
    EXPECT_EQ(capture_writes(33), std::vector<uint32_t>{0x0014});
    EXPECT_EQ(capture_writes(36), std::vector<uint32_t>{0xA014});
    EXPECT_EQ(capture_writes(66), std::vector<uint32_t>{0x0014});
    EXPECT_TRUE(capture_writes(65).empty());
    out = tick();
    EXPECT_EQ(count(out, "<ERROR> JST FLAG TIMEOUT !!\n"), 1);
    EXPECT_EQ(count(status_log(), "Tuner Restart (1)\n"), 1);
}

TEST_F(TotStep, RepeatedTimeWordIndicatesFailureFromTheThirdRead) {
    start();
    ticks(4);
    world("time-word frozen");
    ticks(4); // the frozen word is still new once
    ASSERT_EQ(takes_in_last_tick(), 1);
    ticks(5);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    EXPECT_TRUE(capture_writes(13).empty());
    tick();
    EXPECT_EQ(sim_fpga_gpio_output(), 0x8900u);
    EXPECT_EQ(capture_writes(14), std::vector<uint32_t>{0x0014});
    EXPECT_EQ(date_commands().size(), 2u);
    world("time-word running");
    ticks(4);
    EXPECT_EQ(takes_in_last_tick(), 1);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
}

TEST_F(TotStep, SwitchHeldFiveTicksEndsTheProgram) {
    start();
    world("switch on");
    const uint32_t expected[] = {0x8900, 0x8900, 0x8900, 0x0A00, 0x0A00};
    const int ends[] = {0, 0, 0, 1, 2};
    for (int i = 0; i < 5; ++i) {
        tick();
        EXPECT_EQ(sim_fpga_gpio_output(), expected[i]) << "tick " << i + 1;
        EXPECT_EQ(journal_count(kEnd), ends[i]) << "tick " << i + 1;
    }
}

TEST_F(TotStep, VariantBitIgnoresSwitchAndForcesStratum10) {
    system_settings.CustumInfo = kVariantBit;
    sandbox.write(kNtpConf, conf_with(3));
    const std::string started = start();
    EXPECT_NE(started.find("set_ntp_stratum 16 => 10\n"), std::string::npos);
    EXPECT_EQ(sandbox.read(kNtpConf), conf_with(10));
    world("switch on");
    ticks(5);
    EXPECT_EQ(journal_count(kEnd), 0);
    EXPECT_EQ(sim_fpga_gpio_output(), 0x4500u);
    // The status file shows the configured stratum.
    EXPECT_NE(sandbox.read(kStatusPath).find("Now_TOTSTRATUM=11\t"), std::string::npos);
}

TEST_F(TotStep, StratumEditThenNoRewrite) {
    start();
    EXPECT_EQ(sandbox.read(kNtpConf), conf_with(6));
    EXPECT_EQ(sandbox.read("/etc/ntp.conf"), conf_with(6));
    const std::string grep_sed =
        "grep -l 'fudge 127.127.1.0 stratum' /var/kelvatro/conf/ntp.conf | xargs sed -i -e "
        "'s/fudge 127.127.1.0 stratum.*/fudge 127.127.1.0 stratum 6/g'";
    EXPECT_EQ(journal_count(grep_sed), 1);
    EXPECT_EQ(journal_count("cp -pf /var/kelvatro/conf/ntp.conf /etc/"), 1);
    tick();
    const std::string again = capture_stdout([] {
        std::lock_guard lock(tot_mutex);
        tuner_start(tot_settings);
    });
    EXPECT_EQ(again.find("set_ntp_stratum"), std::string::npos);
    EXPECT_EQ(journal_count(grep_sed), 1);
    EXPECT_EQ(journal_count("cp -pf /var/kelvatro/conf/ntp.conf /etc/"), 1);
}

TEST_F(TotStep, StratumZeroIsClampedButShownAsConfigured) {
    sandbox.write(kSetupPath, "[TOT]\nSet_TOT_STRATUM=0\n");
    start();
    EXPECT_EQ(sandbox.read(kNtpConf), conf_with(1));
    tick();
    EXPECT_NE(sandbox.read(kStatusPath).find("Now_TOTSTRATUM=0\t"), std::string::npos);
    EXPECT_EQ(count(status_log(), "NTP stratum -1 out of range, 1 written\n"), 1);
}

TEST_F(TotStep, ChannelNumberWrapsTo44) {
    sandbox.write(kSetupPath, "[TOT]\nSet_TOT_CH_NUM=300\n");
    const std::string started = start();
    EXPECT_NE(started.find("659142857[Hz] Tuning start...\n"), std::string::npos);
    tick();
    EXPECT_NE(sandbox.read(kStatusPath).find("Now_TOTCHNUM=UHF-44\t"), std::string::npos);
}

TEST_F(TotStep, StatusFileBeforeAnyTake) {
    world("signal off");
    world("ber 3 250000");
    pace_set_tick_ms(10);
    start();
    tick();
    EXPECT_EQ(sandbox.read(kStatusPath),
              ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
              "; 内部機能 (TOT)                                 ;\n"
              "; 本機能はORV_System.iniのSystemInfoで機能設定する ;\n"
              ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
              "[TOT]\n"
              "Status=1\t\t\t\t;10進数(8b) 0=Disable, 1=Enable\n"
              "Set_TOT_CH_TYPE=0\t\t;設定されているチャンネルタイプ(UHF,VHF,CATV)\n"
              "Set_TOT_CH_NUM=27\t\t;設定されているチャンネル番号\n"
              "Set_TOT_STRATUM=7\t\t;設定されているstratum値\n"
              "[TOTStatus]\n"
              "Now_TunerLock=0\t\t\t\t;チューナロック?(0:unlock  1:lock)\n"
              "Now_TOTNTP=0\t\t\t\t\t;NTPサーバ(0:停止,1:起動)\n"
              "Now_TOTCHNUM=UHF-27\t\t\t;現在チューニングチャンネル番号\n"
              "Now_TOTLevel=180\t\t\t\t;現在のレベル値(無次元最大値255)\n"
              "Now_TOTSNR=28\t\t\t\t\t;現在のSN比[dB]\n"
              "Now_TOTberA=3e-5\t\t\t\t;現在のBER\n"
              "Now_TOTberB=100000e-5\t\t\t\t;現在のBER\n"
              "Now_TOTber=250000\t\t\t\t\t;現在のBER(表示値)\n"
              "Now_TOTSTRATUM=7\t\t\t\t;現在のNTPサーバのstratum\n"
              "Now_TOTDATE=0/00/00\t\t;現在の日付\n"
              "Now_TOTTIME=00:00:00\t;現在の時刻\n");
}
