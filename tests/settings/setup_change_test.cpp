// Setup change: the classification of file names, the FileName of the
// message, taking over each kind of file, and the refusal of files outside
// the settings directory.
#include "board/spi_regs.h"
#include "fpga.h"
#include "main/current_state.h"
#include "os/pace.h"
#include "sandbox.h"
#include "settings/network_file.h"
#include "settings/setup_change.h"
#include "settings/system_file.h"
#include "tot/tot_files.h"
#include "tot/tot_step.h"
#include "tuner/tuner_control.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Classified {
    const char* path;
    SettingsFileKind kind;
    const char* board_text;
    int board_id;
    int sub_id;
};

TEST(ClassifySettingsFile, KindsByName) {
    const std::string long_dir(120, 'd');
    const std::string cut_after_127 = "/" + long_dir + "/ORV_System.ini"; // "ORV_S" is kept
    const std::string board_cut = "/Setup_" + std::string(20, 'Z') + "_01.ini";
    const std::vector<Classified> cases = {
        {"/var/kelvatro/conf/ORV_System.ini", kFileSystem, "", 0, 0},
        {"/var/kelvatro/conf/ORV_Network.ini", kFileNetwork, "", 0, 0},
        {"ORV_Current.ini", kFileCurrent, "", 0, 0},
        {"/var/kelvatro/conf/ORV_Function.ini", kFileFunction, "", 0, 0},
        {"/var/kelvatro/conf/ORV_Other.ini", kFileNone, "", 0, 0},
        {"/var/kelvatro/conf/ORV", kFileNone, "", 0, 0},
        {"/var/kelvatro/conf/Setup_05_01.ini", kFileSetup, "", 5, 1},
        {"Setup_0A_ff.ini", kFileSetup, "", 10, 255},
        {"/var/kelvatro/conf/Setup_TOT_01.ini", kFileSetup, "TOT", 0, 1},
        {"/var/kelvatro/conf/Filter_01_02.ini", kFileFilter, "", 1, 2},
        {"C:\\conf\\Setup_105_02.ini", kFileSetup, "", 5, 2},
        {"/var/kelvatro/conf/Setup_07", kFileNone, "", 7, 0},
        {"/var/kelvatro/conf/Status_05_01.txt", kFileNone, "", 0, 0},
        {"/var/kelvatro/conf/ORVX_System.ini", kFileNone, "", 0, 0},
        {"", kFileNone, "", 0, 0},
        {cut_after_127.c_str(), kFileNone, "", 0, 0},
        {board_cut.c_str(), kFileSetup, "ZZZZZZZZZZZZZZZ", 0, 1},
    };
    for (const Classified& c : cases) {
        char text[16];
        std::memset(text, 'x', sizeof text);
        uint8_t board = 99;
        uint8_t sub = 99;
        EXPECT_EQ(ClassifySettingsFile(c.path, text, board, sub), c.kind) << c.path;
        EXPECT_STREQ(text, c.board_text) << c.path;
        EXPECT_EQ(board, c.board_id) << c.path;
        EXPECT_EQ(sub, c.sub_id) << c.path;
    }
}

class SetupChangeTest : public SandboxTest {
  protected:
    void SetUp() override {
        system_settings = SystemSettings{};
        system_settings.Version = kSystemFileVersion;
        std::strcpy(system_settings.UnitName, "BEFORE");
        network_settings = NetworkSettings{};
        current_state = CurrentState{};
    }

    // Hands the message to the setup change; returns what it printed.
    std::string handle(const std::string& message) {
        std::vector<char> text(message.begin(), message.end());
        text.push_back('\0');
        return capture_stdout([&] { HandleSetupChange(text.data()); });
    }

    std::string status_log() const { return sandbox.read("/var/www/StatusLog.txt"); }

    static std::string debug_line(int kind, const char* text, int board, int sub) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "<Debug> file_no =0x%02X, str=[%s], board_id=0x%02X, sub_id=0x%02X\n", kind,
                      text, board, sub);
        return line;
    }

    void write_system_file(const char* unit_path, const char* name) {
        sandbox.write(unit_path, std::string("[ORVSystem]\nVersion=01000004\nUnitName=") + name +
                                     "\t; name\nTimeAdjust=0\n");
    }
};

TEST_F(SetupChangeTest, FileNameIsTakenAfterTheHeader) {
    EXPECT_EQ(handle("[SetupChange]\nFileName=/var/kelvatro/conf/ORV_Function.ini\n"),
              debug_line(8, "", 0, 0));
    EXPECT_EQ(handle("[SetupChange]\r\nFileName=/var/kelvatro/conf/Filter_01_02.ini\r\n"),
              debug_line(32, "", 1, 2));
    EXPECT_EQ(handle("[SetupChange]\n[SetupChange]\nFileName=ORV_Function.ini\n"),
              debug_line(8, "", 0, 0));
    EXPECT_EQ(handle("FileName=/var/kelvatro/conf/ORV_Function.ini\n[SetupChange]\n"),
              debug_line(0, "", 0, 0));
    EXPECT_EQ(handle("[SetupChange]\nFileName\n"), debug_line(0, "", 0, 0));
    EXPECT_EQ(handle("FileName=x\n"), debug_line(0, "", 0, 0));
    EXPECT_TRUE(sandbox.journal().empty());
    EXPECT_EQ(status_log(), "");
}

TEST_F(SetupChangeTest, SystemAndNetworkFilesAreTakenOver) {
    write_system_file("/var/kelvatro/conf/ORV_System.ini", "AFTER");
    std::string out = handle("[SetupChange]\nFileName=/var/kelvatro/conf/ORV_System.ini\n");
    EXPECT_EQ(out.rfind(debug_line(1, "", 0, 0), 0), 0u);
    EXPECT_NE(out.find("<INF> Unit Name   : AFTER\n"), std::string::npos);

    sandbox.write("/var/kelvatro/conf/ORV_Network.ini", "[ORVNetwork]\nIP=10.0.0.5\n");
    out = handle("[SetupChange]\r\nFileName=/var/kelvatro/conf/ORV_Network.ini\r\n");
    EXPECT_EQ(out.rfind(debug_line(2, "", 0, 0), 0), 0u);
    EXPECT_NE(out.find("<INF> IP Addr     : 10.0.0.5\n"), std::string::npos);
    const auto journal = sandbox.journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back(), "sudo service dhcpcd reload");
}

TEST_F(SetupChangeTest, ChangedSetDateSetsTheClocksOnce) {
    const std::string message = "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_Current.ini\n";
    // An unreadable file counts as unchanged: only the printout.
    EXPECT_NE(handle(message).find("<INF> Set Date   :    0/00/00 00:00:00\n"), std::string::npos);
    EXPECT_TRUE(sandbox.journal().empty());

    sandbox.write(kCurrentFilePath, "[ORVCurrent]\nSetDate=2024/01/05\t; d\nSetTime=09:07:03\t; t\n"
                                    "NowDate=2030/01/01\nNowTime=00:00:00\n");
    std::string out = handle(message);
    EXPECT_EQ(out.rfind(debug_line(4, "", 0, 0), 0), 0u);
    EXPECT_NE(out.find("<INF> Set Date   : 2024/01/05 09:07:03\n"), std::string::npos);
    EXPECT_EQ(current_state.SetDateTime.second, 3);
    const std::vector<std::string> clock_set = {"clock_settime 1704413223.000000",
                                                "date -s \"2024-01-05 09:07:03\"", "hwclock -wu"};
    EXPECT_EQ(sandbox.journal(), clock_set);

    // The same set date again: only the printout.
    out = handle(message);
    EXPECT_NE(out.find("<INF> Set Date   : 2024/01/05 09:07:03\n"), std::string::npos);
    EXPECT_EQ(sandbox.journal(), clock_set);
}

TEST_F(SetupChangeTest, SetupOfOtherBoardsOrWithoutTheTotFunctionIsOnlyNoted) {
    tot_settings = TotSettings{1, 0, 27, 7};
    for (const char* name : {"Setup_05_02.ini", "Setup_06_01.ini", "Setup_TOT_01.ini"})
        sandbox.write(std::string("/var/kelvatro/conf/") + name, "[TOT]\nSet_TOT_CH_NUM=40\n");
    EXPECT_EQ(handle("[SetupChange]\nFileName=/var/kelvatro/conf/Setup_05_02.ini\n"),
              debug_line(16, "", 5, 2) + "<DBG>pass:orv_parser_setup\n");
    system_settings.SystemInfo = kTotFunctionBit;
    EXPECT_EQ(handle("[SetupChange]\nFileName=/var/kelvatro/conf/Setup_06_01.ini\n"),
              debug_line(16, "", 6, 1) + "<DBG>pass:orv_parser_setup\n");
    EXPECT_EQ(handle("[SetupChange]\nFileName=/var/kelvatro/conf/Setup_TOT_01.ini\n"),
              debug_line(16, "TOT", 0, 1) + "<DBG>pass:orv_parser_setup\n");
    EXPECT_EQ(tot_settings.Set_TOT_CH_NUM, 27);
    EXPECT_TRUE(sandbox.journal().empty());
}

TEST_F(SetupChangeTest, PathsResolvingIntoTheSettingsDirectoryAreTaken) {
    fs::create_directories(sandbox.path("/var/kelvatro/conf/sub"));
    write_system_file("/var/kelvatro/conf/ORV_System.ini", "INSIDE");
    for (const char* name :
         {"/var/kelvatro/conf/sub/../ORV_System.ini", "/var/kelvatro/conf/./ORV_System.ini"}) {
        std::strcpy(system_settings.UnitName, "BEFORE");
        handle(std::string("[SetupChange]\nFileName=") + name + "\n");
        EXPECT_STREQ(system_settings.UnitName, "INSIDE") << name;
    }
    EXPECT_EQ(status_log().find("refused"), std::string::npos);
}

// The TOT setup of board 5 on the simulated board and tuner, the tuner
// started as start-up leaves it.
class TotSetupChange : public SetupChangeTest {
  protected:
    void SetUp() override {
        SetupChangeTest::SetUp();
        pace_set_tick_ms(10);
        sim_world_reset();
        spi_set_transport(sim_fpga_transport());
        ASSERT_EQ(SpiOpen(), 0);
        tuner_lib_set_path(ORV_SIMTUNER_PATH);
        system_settings.SystemInfo = kTotFunctionBit;
        tot_settings = TotSettings{1, 0, 27, 7};
        capture_stdout([] {
            std::lock_guard lock(tot_mutex);
            tuner_init();
        });
    }

    void TearDown() override {
        std::lock_guard lock(tot_mutex);
        tuner_terminate();
        pace_set_tick_ms(1000);
    }
};

TEST_F(TotSetupChange, AnySubOfBoard5IsReadAndRetuned) {
    sandbox.write("/var/kelvatro/conf/Setup_05_02.ini",
                  "[TOT]\nSet_TOT_CH_NUM=40\t; ch\nSet_TOT_STRATUM=5\n");
    const std::string out = handle("[SetupChange]\nFileName=/var/kelvatro/conf/Setup_05_02.ini\n");
    EXPECT_EQ(out.rfind(debug_line(16, "", 5, 2) + "<DBG>pass:orv_parser_setup\n", 0), 0u) << out;
    EXPECT_EQ(tot_settings.Set_TOT_CH_NUM, 40);
    EXPECT_EQ(tot_settings.Set_TOT_STRATUM, 5);
    EXPECT_NE(out.find("635142857[Hz] Tuning start...\n"), std::string::npos) << out;
    EXPECT_NE(status_log().find("<INF> SetChannel  : 40\n"), std::string::npos);
    EXPECT_TRUE(sandbox.exists("/var/kelvatro/conf/Status_05_01.txt"));
    EXPECT_NE(sandbox.read("/var/kelvatro/conf/Status_05_01.txt").find("Now_TOTCHNUM=UHF-40"),
              std::string::npos);
}

class SetupChangeRefusal : public SetupChangeTest {
  protected:
    // The message is refused: the debug line on the console, one error line
    // in the status log, and nothing else happens.
    void expect_refused(const std::string& name, int kind) {
        const std::string log_before = status_log();
        const std::string out = handle("[SetupChange]\nFileName=" + name + "\n");
        EXPECT_EQ(
            out.rfind(debug_line(kind, "", kind == kFileSetup ? 5 : 0, kind == kFileSetup ? 1 : 0),
                      0),
            0u)
            << out;
        const std::string log = status_log().substr(log_before.size());
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        const std::string line =
            " <ERR> Setup change refused: " + name + " is outside /var/kelvatro/conf/\n";
        EXPECT_EQ(log.size() > line.size() ? log.substr(log.size() - line.size()) : log, line);
        EXPECT_STREQ(system_settings.UnitName, "BEFORE");
        EXPECT_EQ(network_settings.IP[0], 0);
        EXPECT_TRUE(sandbox.journal().empty());
        EXPECT_EQ(current_state.SetDateTime.year, 0);
    }
};

TEST_F(SetupChangeRefusal, PathsElsewhereOrDotDotOutOfTheDirectory) {
    write_system_file("/var/kelvatro/ORV_System.ini", "EVIL");
    expect_refused("/var/kelvatro/ORV_System.ini", kFileSystem);
    expect_refused("/var/kelvatro/conf/../ORV_System.ini", kFileSystem);
    expect_refused("ORV_System.ini", kFileSystem);
    // A missing file elsewhere is not created by the reader either.
    expect_refused("/var/www/ORV_Network.ini", kFileNetwork);
    expect_refused("/var/kelvatro/conf/../../../etc/ORV_Network.ini", kFileNetwork);
    EXPECT_FALSE(sandbox.exists("/var/www/ORV_Network.ini"));
    EXPECT_FALSE(sandbox.exists("/etc/ORV_Network.ini"));
}

TEST_F(SetupChangeRefusal, SymbolicLinks) {
    system_settings.SystemInfo = kTotFunctionBit;
    fs::create_directories(sandbox.path("/var/www/elsewhere"));
    fs::create_directory_symlink(sandbox.path("/var/www/elsewhere"),
                                 sandbox.path("/var/kelvatro/conf/linkdir"));
    expect_refused("/var/kelvatro/conf/linkdir/ORV_Network.ini", kFileNetwork);
    EXPECT_FALSE(sandbox.exists("/var/www/elsewhere/ORV_Network.ini"));

    sandbox.write("/var/www/elsewhere/cur.ini", "[ORVCurrent]\nSetDate=2031/02/03\n"
                                                "SetTime=04:05:06\n");
    fs::create_symlink(sandbox.path("/var/www/elsewhere/cur.ini"),
                       sandbox.path("/var/kelvatro/conf/ORV_Current.ini"));
    expect_refused("/var/kelvatro/conf/ORV_Current.ini", kFileCurrent);

    fs::create_symlink(sandbox.path("/var/www/elsewhere/missing.ini"),
                       sandbox.path("/var/kelvatro/conf/Setup_05_01.ini"));
    expect_refused("/var/kelvatro/conf/Setup_05_01.ini", kFileSetup);
    EXPECT_FALSE(sandbox.exists("/var/www/elsewhere/missing.ini"));
}

} // namespace
