// Setup change: the classification of file names, the FileName of the
// message, taking over each kind of file, and the refusal of files outside
// the settings directory.
#include "main/current_state.h"
#include "main/setup_change.h"
#include "sandbox.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "text.h"
#include "tot/tot_files.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(ClassifySettingsFile, KindsByName) {
    const std::string cut_after_127 = "/" + std::string(120, 'd') + "/ORV_System.ini"; // "ORV_S"
    const std::string board_cut = "/Setup_" + std::string(20, 'Z') + "_01.ini";
    const std::vector<std::tuple<const char*, SettingsFileKind, const char*, int, int>> cases = {
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
    for (const auto& [path, kind, board_text, board_id, sub_id] : cases) {
        char text[16];
        std::memset(text, 'x', sizeof text);
        uint8_t board = 99, sub = 99;
        EXPECT_EQ(ClassifySettingsFile(path, text, board, sub), kind) << path;
        EXPECT_STREQ(text, board_text) << path;
        EXPECT_EQ(board, board_id) << path;
        EXPECT_EQ(sub, sub_id) << path;
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

    // Hands the message "[SetupChange]\nFileName=<name>\n" (or the text as it
    // stands, when given whole) to the setup change; returns what it printed.
    static std::string handle(const std::string& name_or_message) {
        std::string text = name_or_message.find('\n') == std::string::npos
                               ? "[SetupChange]\nFileName=" + name_or_message + "\n"
                               : name_or_message;
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
    for (const auto& [message, debug] : std::vector<std::pair<std::string, std::string>>{
             {"[SetupChange]\nFileName=/var/kelvatro/conf/ORV_Function.ini\n",
              debug_line(8, "", 0, 0)},
             {"[SetupChange]\r\nFileName=/var/kelvatro/conf/Filter_01_02.ini\r\n",
              debug_line(32, "", 1, 2)},
             {"[SetupChange]\n[SetupChange]\nFileName=ORV_Function.ini\n", debug_line(8, "", 0, 0)},
             {"FileName=/var/kelvatro/conf/ORV_Function.ini\n[SetupChange]\n",
              debug_line(0, "", 0, 0)},
             {"[SetupChange]\nFileName\n", debug_line(0, "", 0, 0)},
             {"FileName=x\n", debug_line(0, "", 0, 0)}})
        EXPECT_EQ(handle(message), debug) << message;
    EXPECT_TRUE(sandbox.journal().empty());
    EXPECT_EQ(status_log(), "");
}

TEST_F(SetupChangeTest, ChangedSetDateSetsTheClocksOnce) {
    const char* name = "/var/kelvatro/conf/ORV_Current.ini";
    sandbox.write(kCurrentFilePath, "[ORVCurrent]\nSetDate=2024/01/05\t; d\nSetTime=09:07:03\t; t\n"
                                    "NowDate=2030/01/01\nNowTime=00:00:00\n");
    const std::vector<std::string> clock_set = {"clock_settime 1704413223.000000",
                                                "date -s \"2024-01-05 09:07:03\"", "hwclock -wu"};
    // Changed: the clocks are set; the same set date again: only the printout.
    for (int round = 0; round < 2; ++round) {
        const std::string out = handle(name);
        EXPECT_EQ(out.rfind(debug_line(4, "", 0, 0), 0), 0u);
        EXPECT_TRUE(contains(out, "<INF> Set Date   : 2024/01/05 09:07:03\n"));
        EXPECT_EQ(sandbox.journal(), clock_set);
    }
}

TEST_F(SetupChangeTest, SetupOfOtherBoardsOrWithoutTheTotFunctionIsOnlyNoted) {
    tot_settings = TotSettings{1, 0, 27, 7};
    for (const char* name : {"Setup_05_02.ini", "Setup_06_01.ini", "Setup_TOT_01.ini"})
        sandbox.write(std::string("/var/kelvatro/conf/") + name, "[TOT]\nSet_TOT_CH_NUM=40\n");
    const std::string pass = "<DBG>pass:orv_parser_setup\n";
    EXPECT_EQ(handle("/var/kelvatro/conf/Setup_05_02.ini"), debug_line(16, "", 5, 2) + pass);
    system_settings.SystemInfo = kTotFunctionBit;
    EXPECT_EQ(handle("/var/kelvatro/conf/Setup_06_01.ini"), debug_line(16, "", 6, 1) + pass);
    EXPECT_EQ(handle("/var/kelvatro/conf/Setup_TOT_01.ini"), debug_line(16, "TOT", 0, 1) + pass);
    EXPECT_EQ(tot_settings.Set_TOT_CH_NUM, 27);
    EXPECT_TRUE(sandbox.journal().empty());
}

TEST_F(SetupChangeTest, PathsResolvingIntoTheSettingsDirectoryAreTaken) {
    fs::create_directories(sandbox.path("/var/kelvatro/conf/sub"));
    write_system_file("/var/kelvatro/conf/ORV_System.ini", "INSIDE");
    for (const char* name :
         {"/var/kelvatro/conf/sub/../ORV_System.ini", "/var/kelvatro/conf/./ORV_System.ini"}) {
        std::strcpy(system_settings.UnitName, "BEFORE");
        handle(name);
        EXPECT_STREQ(system_settings.UnitName, "INSIDE") << name;
    }
    EXPECT_FALSE(contains(status_log(), "refused"));
}

class SetupChangeRefusal : public SetupChangeTest {
  protected:
    // The debug line on the console, one error line in the status log, and
    // nothing else happens.
    void expect_refused(const std::string& name, int kind, const std::string& reason, int board = 0,
                        int sub = 0) {
        const size_t log_before = status_log().size();
        const std::string out = handle(name);
        EXPECT_EQ(out.rfind(debug_line(kind, "", board, sub), 0), 0u) << out;
        const std::string log = status_log().substr(log_before);
        const std::string line = " <ERR> Setup change refused: " + name + " " + reason + "\n";
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_TRUE(log.ends_with(line)) << log;
        EXPECT_STREQ(system_settings.UnitName, "BEFORE");
        EXPECT_EQ(network_settings.IP[0], 0);
        EXPECT_TRUE(sandbox.journal().empty());
        EXPECT_EQ(current_state.SetDateTime.year, 0);
    }
};

constexpr const char* kOutside = "is outside /var/kelvatro/conf/";

TEST_F(SetupChangeRefusal, MissingFilesAndPathsElsewhere) {
    write_system_file("/var/kelvatro/ORV_System.ini", "EVIL");
    expect_refused("/var/kelvatro/ORV_System.ini", kFileSystem, kOutside);
    expect_refused("/var/kelvatro/conf/../ORV_System.ini", kFileSystem, kOutside);
    // A missing file is not created with factory values by its reader.
    expect_refused("/var/kelvatro/conf/ORV_System_x.ini", kFileSystem, "does not exist");
    expect_refused("/var/www/ORV_Network.ini", kFileNetwork, "does not exist");
    expect_refused("/var/kelvatro/conf/../../../etc/ORV_Network.ini", kFileNetwork,
                   "does not exist");
    fs::create_directories(sandbox.path("/var/kelvatro/conf/ORV_Network_d.ini"));
    expect_refused("/var/kelvatro/conf/ORV_Network_d.ini", kFileNetwork, "is not a regular file");
    for (const char* name : {"/var/kelvatro/conf/ORV_System_x.ini", "/var/www/ORV_Network.ini",
                             "/etc/ORV_Network.ini", "/usr/kelvatro/conf/ORV_System_x.ini"})
        EXPECT_FALSE(sandbox.exists(name)) << name;
}

TEST_F(SetupChangeRefusal, SymbolicLinks) {
    system_settings.SystemInfo = kTotFunctionBit;
    fs::create_directories(sandbox.path("/var/www/elsewhere"));
    fs::create_directory_symlink(sandbox.path("/var/www/elsewhere"),
                                 sandbox.path("/var/kelvatro/conf/linkdir"));
    write_system_file("/var/www/elsewhere/ORV_System.ini", "EVIL");
    expect_refused("/var/kelvatro/conf/linkdir/ORV_System.ini", kFileSystem, kOutside);

    sandbox.write("/var/www/elsewhere/cur.ini",
                  "[ORVCurrent]\nSetDate=2031/02/03\nSetTime=04:05:06\n");
    fs::create_symlink(sandbox.path("/var/www/elsewhere/cur.ini"),
                       sandbox.path("/var/kelvatro/conf/ORV_Current.ini"));
    expect_refused("/var/kelvatro/conf/ORV_Current.ini", kFileCurrent, "is a symbolic link");

    fs::create_symlink(sandbox.path("/var/www/elsewhere/missing.ini"),
                       sandbox.path("/var/kelvatro/conf/Setup_05_01.ini"));
    expect_refused("/var/kelvatro/conf/Setup_05_01.ini", kFileSetup, "is a symbolic link", 5, 1);
    EXPECT_FALSE(sandbox.exists("/var/www/elsewhere/missing.ini"));
}

} // namespace
