// Setup change: the classification of file names, the FileName of the
// message, taking over each kind of file, and the refusal of files outside
// the settings directory.
#include "fake_unit_clock.h"
#include "main/current_state.h"
#include "main/setup_change.h"
#include "os/clock.h"
#include "os/deploy_settings.h"
#include "os/shell.h"
#include "sandbox.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "tot/holdover.h"
#include "tot/ntp_server.h"
#include "tot/tot_files.h"

namespace {

// The settings files, the TOT board's setup and a filter: taken or noted below
// and by the network and system setup changes of NtpClientTest.
TEST(ClassifySettingsFile, KindsByName) {
    const std::string cut_after_127 = "/" + std::string(120, 'd') + "/ORV_System.ini"; // "ORV_S"
    const std::string board_cut = "/Setup_" + std::string(20, 'Z') + "_01.ini";
    const std::vector<std::tuple<const char*, SettingsFileKind, const char*, int, int>> cases = {
        {"/var/kelvatro/conf/ORV_Other.ini", kFileNone, "", 0, 0},
        {"Setup_0A_ff.ini", kFileSetup, "", 10, 255},
        {"C:\\conf\\Setup_105_02.ini", kFileSetup, "", 5, 2},
        {"/var/kelvatro/conf/Setup_07", kFileNone, "", 7, 0},
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
    // stands, when given whole) to the setup change.
    static int handle(const std::string& name_or_message) {
        std::string text = name_or_message.find('\n') == std::string::npos
                               ? "[SetupChange]\nFileName=" + name_or_message + "\n"
                               : name_or_message;
        int result = 0;
        capture_stdout([&] { result = HandleSetupChange(text.data()); });
        return result;
    }

    void write_system_file(const char* unit_path, const char* name) {
        sandbox.write(unit_path, std::string("[ORVSystem]\nVersion=01000004\nUnitName=") + name +
                                     "\t; name\nTimeAdjust=0\n");
    }
};

// The FileName counts only after the header. Names of no kind the unit takes,
// setups of other boards, and the TOT board's without the TOT function are
// refused with their reason, and nothing of them is taken.
TEST_F(SetupChangeTest, RefusedUnlessTheFileIsTaken) {
    FakeUnitClock clock; // each refusal a second after the last one
    tot_settings = TotSettings{1, 0, 27, 7};
    const std::string conf = "/var/kelvatro/conf/";
    for (const char* name : {"Setup_05_02.ini", "Setup_06_01.ini", "Setup_TOT_01.ini",
                             "ORV_Function.ini", "Filter_01_02.ini"})
        sandbox.write(conf + name, "[TOT]\nSet_TOT_CH_NUM=40\n");
    write_system_file(kSystemFilePath, "TAKEN");
    const std::string no_kind = " is no settings file that the unit takes over (ORV_System.ini, "
                                "ORV_Network.ini, ORV_Current.ini or Setup_05_01.ini)";
    const std::string no_name = "the message names no file (no FileName= line)";
    const std::string no_setup = " is no settings file that the unit takes over ";
    const std::tuple<uint32_t, std::string, std::string> cases[] = {
        {0, conf + "ORV_Function.ini", conf + "ORV_Function.ini" + no_kind},
        {0, "[SetupChange]\nFileName=" + conf + "Filter_01_02.ini\n",
         conf + "Filter_01_02.ini" + no_kind},
        {0, "FileName=" + conf + "ORV_System.ini\n[SetupChange]\n", no_name},
        {0, "[SetupChange]\nFileName\n", no_name},
        {0, conf + "Setup_05_02.ini",
         conf + "Setup_05_02.ini" + no_setup + "(the TOT function is off)"},
        {kTotFunctionBit, conf + "Setup_06_01.ini",
         conf + "Setup_06_01.ini" + no_setup + "(the unit takes board 5's setup)"},
        {kTotFunctionBit, conf + "Setup_TOT_01.ini",
         conf + "Setup_TOT_01.ini" + no_setup + "(the unit takes board 5's setup)"},
    };
    std::string expected;
    for (const auto& [system_info, message, refusal] : cases) {
        system_settings.SystemInfo = system_info;
        EXPECT_EQ(handle(message), -1) << message;
        expected += " <ERR> Setup change refused: " + refusal + "\n";
        clock.advance_seconds(1);
    }
    EXPECT_EQ(sandbox.log(), expected);
    EXPECT_EQ(tot_settings.Set_TOT_CH_NUM, 27);
    EXPECT_STREQ(system_settings.UnitName, "BEFORE");
    EXPECT_TRUE(sandbox.journal().empty());
    EXPECT_EQ(handle("[SetupChange]\r\nFileName=/var/kelvatro/conf/ORV_System.ini\r\n"), 0);
    EXPECT_STREQ(system_settings.UnitName, "TAKEN");
}

// A file that the start would set aside is refused whole: nothing of it is
// applied nor saved as its SD copy. A refusal is logged whenever its cause
// differs from the last one's. What a user's editor writes (a BOM, blanks
// around '=', a last line without its line end) is read as meant, and saved.
TEST_F(SetupChangeTest, UnusableFileIsRefusedWhole) {
    FakeUnitClock clock;
    const char* const kSdNetwork = "/usr/kelvatro/conf/ORV_Network.ini";
    const char* const kSdSystem = "/usr/kelvatro/conf/ORV_System.ini";
    sandbox.write(kSdNetwork, "kept");
    sandbox.write(kSdSystem, "kept");
    // A key the apply needs is missing: in lower case, before the header, or
    // on a last line cut short whose value its key does not take.
    const std::pair<const char*, const char*> refused[] = {
        {kNetworkFilePath, "[ORVNetwork]\nIP=10.6.6.6\nNetMask=$(id)\n"},
        {kNetworkFilePath, "[ORVNetwork]\nIP=10.6.6.6\nNetMask=$(id)\n"},
        {kNetworkFilePath, "[ORVNetwork]\nip=10.3.0.10\nNetMask=255.255.255.0\nGateway=10.3.0.1\n"},
        {kNetworkFilePath, "IP=10.3.0.10\n[ORVNetwork]\nNetMask=255.255.255.0\nGateway=10.3.0.1\n"},
        {kNetworkFilePath, "[ORVNetwork]\nIP=10.3.0.10\nNetMask=255.255.255.0\nGateway=10.3.0.2x"},
        {kSystemFilePath, "UnitName=X\nSystemInfo=04000000\n"}};
    for (const auto& [path, text] : refused) {
        sandbox.write(path, text);
        handle(path);
    }
    EXPECT_TRUE(sandbox.journal().empty());
    EXPECT_EQ(network_settings.IP[0], 0);
    EXPECT_STREQ(system_settings.UnitName, "BEFORE");
    EXPECT_EQ(sandbox.read(kSdNetwork) + sandbox.read(kSdSystem), "keptkept");
    EXPECT_EQ(sandbox.log(),
              " <ERR> Setup change refused: /var/kelvatro/conf/ORV_Network.ini not usable "
              "(NetMask=$(id) refused)\n"
              " <ERR> Setup change refused: /var/kelvatro/conf/ORV_Network.ini not usable "
              "(IP missing)\n"
              " <ERR> Setup change refused: /var/kelvatro/conf/ORV_Network.ini not usable "
              "(Gateway missing)\n"
              " <ERR> Setup change refused: /var/kelvatro/conf/ORV_System.ini not usable (no "
              "[ORVSystem] header)\n");

    const std::string network =
        "\xEF\xBB\xBF[ORVNetwork] \nIP = 10.1.2.3\nNetMask=255.255.255.0\nGateway = 10.1.2.1";
    sandbox.write(kNetworkFilePath, network);
    handle(kNetworkFilePath);
    EXPECT_EQ(std::ranges::count(sandbox.journal(), "ifconfig eth0 10.1.2.3 netmask 255.255.255.0"),
              1);
    EXPECT_EQ(sandbox.read(kSdNetwork), network);
    sandbox.write(kSystemFilePath, "[ORVSystem]\nSystemInfo = 04000000\nUnitName=CUT");
    handle(kSystemFilePath);
    EXPECT_STREQ(system_settings.UnitName, "CUT");
    EXPECT_TRUE(tot_function_enabled());
    EXPECT_EQ(sandbox.read(kSdSystem), sandbox.read(kSystemFilePath));
}

// What is applied is saved as the unit's own file of its kind, whatever the
// name of the file taken; settings that could not be applied are not saved.
TEST_F(SetupChangeTest, WhatIsAppliedIsSavedAsTheUnitsOwnFile) {
    const std::string network =
        "[ORVNetwork]\nIP=10.1.2.3\nNetMask=255.255.255.0\nGateway=10.1.2.1\n";
    const std::string system = "[ORVSystem]\nVersion=01000004\nUnitName=NEW\n";
    sandbox.write("/var/kelvatro/conf/ORV_Network_new.ini", network);
    sandbox.write("/var/kelvatro/conf/ORV_System_new.ini", system);
    handle("/var/kelvatro/conf/ORV_Network_new.ini");
    handle("/var/kelvatro/conf/ORV_System_new.ini");
    for (const std::string dir : {"/var/kelvatro/conf/", "/usr/kelvatro/conf/"})
        EXPECT_EQ(sandbox.read(dir + "ORV_Network.ini") + sandbox.read(dir + "ORV_System.ini"),
                  network + system)
            << dir;
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/conf/ORV_Network_new.ini"));
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/conf/ORV_System_new.ini"));
    // A dhcpcd file that cannot be edited: nothing applied, nothing saved.
    shell_set_sandbox_runner(
        [](const std::string& command) { return int(contains(command, "sed")); });
    sandbox.write(kNetworkFilePath,
                  "[ORVNetwork]\nIP=10.1.2.4\nNetMask=255.0.0.0\nGateway=10.0.0.1\n");
    handle(kNetworkFilePath);
    shell_set_sandbox_runner(nullptr);
    EXPECT_EQ(sandbox.read("/usr/kelvatro/conf/ORV_Network.ini"), network);
    EXPECT_EQ(network_applied->IP[3], 3);
    network_applied.reset();
}

// A system file that switches the TOT function off stops the NTP daemon that
// served broadcast time, as the holdover limit would; once, and not while on.
// TimeAdjust=1 beside the TOT function is a conflict, logged once while it lasts.
TEST_F(SetupChangeTest, TotFunctionSwitchedOffStopsTheNtpDaemon) {
    FakeUnitClock clock;
    ntp_server.running = 1;
    int applied = 0;
    for (const char* info : {"04000000", "04000000", "00000000", "00000000", "04000000"}) {
        sandbox.write(kSystemFilePath, std::string("[ORVSystem]\nVersion=01000004\nTimeAdjust=1\n"
                                                   "TimeAdjustInt=0\nSystemInfo=") +
                                           info + "\n");
        handle(kSystemFilePath);
        clock.advance_seconds(1);
        EXPECT_EQ(sandbox.journaled("sudo /etc/init.d/ntp stop"), ++applied >= 3) << applied;
    }
    EXPECT_EQ(sandbox.log_count(" <INF> TOT function off: NTP daemon stopped\n"), 1);
    EXPECT_EQ(sandbox.log_count(" <ERR> Time source conflict: TimeAdjust 1 (the NTP client) with "
                                "the TOT function on: only broadcast time sets the clock while "
                                "the unit keeps it\n"),
              2);
}

// The set date is local time: the clock takes the matching seconds (the
// setting after the command: ShellTest), and the date is stored and shown.
// While the TOT function is on and the last take is within the holdover limit
// (ORV_HOLDOVER_S; 0: any take), or before the program's build, a set date is
// refused: logged, not stored.
TEST_F(SetupChangeTest, ChangedSetDateSetsTheClocksUnlessBroadcastTimeIsKept) {
    FakeUnitClock clock;
    // The TOT function, the seconds since a take (-1: none), ORV_HOLDOVER_S,
    // the build's floor (2024-01-07 or none), the day, the setup change's
    // result (-1: refused).
    for (const auto& [function, since, limit, floor, day, result] :
         {std::tuple{kTotFunctionBit, 0, "", kTestsClockFloor, 3, -1},
          {kTotFunctionBit, -1, "", kTestsClockFloor, 4, 0},
          {0u, 0, "", kTestsClockFloor, 5, 0},
          {0u, -1, "", time_t{1704585600}, 6, -1},
          {kTotFunctionBit, 3600, "", kTestsClockFloor, 7, 0},
          {kTotFunctionBit, 9000, "0", kTestsClockFloor, 8, -1},
          {0u, -1, "", kTestsClockFloor, 7, 0}}) { // unchanged: nothing done
        system_settings.SystemInfo = function;
        sandbox.write("/etc/default/orv-main", std::string("ORV_HOLDOVER_S=") + limit + "\n");
        deploy_settings_reload();
        holdover = HoldoverState{};
        if (since >= 0) holdover_take();
        clock.advance_seconds(std::max(since, 0));
        clock_floor_set(floor);
        sandbox.write(kCurrentFilePath, "[ORVCurrent]\nSetDate=2024/01/0" + std::to_string(day) +
                                            "\t; d\nSetTime=09:07:03\n");
        EXPECT_EQ(handle(kCurrentFilePath), result) << day;
        clock.advance_seconds(1);
    }
    clock_floor_set(kTestsClockFloor);
    Lines commands = sandbox.journal();
    std::erase_if(commands, [](const std::string& c) { return c.starts_with("clock_settime"); });
    EXPECT_EQ(commands, (Lines{"date -s \"2024-01-04 09:07:03\"", "hwclock -wu",
                               "date -s \"2024-01-05 09:07:03\"", "hwclock -wu",
                               "date -s \"2024-01-07 09:07:03\"", "hwclock -wu"}));
    EXPECT_EQ(current_state.SetDateTime.day, 7);
    EXPECT_EQ(sandbox.log_count(" <INF> Set Date   : 2024/01/0"), 3);
    EXPECT_EQ(sandbox.log_count(" <ERR> Clock not set to 2024-01-03 09:07:03: the unit keeps "
                                "broadcast time\n"),
              1);
    EXPECT_EQ(sandbox.log_count(": the unit keeps broadcast time\n"), 2); // and 2024-01-08
    EXPECT_EQ(sandbox.log_count(" <ERR> Clock not set to 2024-01-06 09:07:03: before the "
                                "program's build date\n"),
              1);
}

// Only an existing regular file directly in the settings directory is taken.
// Refusals are logged once a second, whatever their names, the others counted.
TEST_F(SetupChangeTest, OnlyFilesOfTheSettingsDirectoryAreTaken) {
    FakeUnitClock clock;
    system_settings.SystemInfo = kTotFunctionBit;
    write_system_file("/var/kelvatro/conf/ORV_System.ini", "INSIDE");
    write_system_file("/var/www/away/ORV_System.ini", "EVIL");
    fs::create_directory_symlink(sandbox.path("/var/www/away"),
                                 sandbox.path("/var/kelvatro/conf/linkdir"));
    fs::create_directories(sandbox.path("/var/kelvatro/conf/ORV_Network_d.ini"));
    fs::create_directories(sandbox.path("/var/kelvatro/conf/sub"));
    sandbox.write("/var/www/cur.ini", "[ORVCurrent]\nSetDate=2031/02/03\nSetTime=04:05:06\n");
    fs::create_symlink(sandbox.path("/var/www/cur.ini"), sandbox.path(kCurrentFilePath));
    fs::create_symlink(sandbox.path("/var/www/missing.ini"),
                       sandbox.path("/var/kelvatro/conf/Setup_05_01.ini"));
    const std::pair<std::string, std::string> refused[] = {
        {"/var/kelvatro/conf/linkdir/ORV_System.ini", "is outside /var/kelvatro/conf/"},
        {"/var/kelvatro/conf/ORV_System_x.ini", "does not exist"},
        {"/var/kelvatro/conf/../../../etc/ORV_Network.ini", "does not exist"},
        {"/var/kelvatro/conf/ORV_Network_d.ini", "is not a regular file"},
        {"/var/kelvatro/conf/ORV_Current.ini", "is a symbolic link"},
        {"/var/kelvatro/conf/Setup_05_01.ini", "is a symbolic link"},
    };
    std::string expected;
    for (const auto& [name, reason] : refused) {
        handle(name);
        clock.advance_seconds(1);
        expected += " <ERR> Setup change refused: " + name + " " + reason + " (looked at " +
                    sandbox.path(name) + ")\n";
    }
    // A flood of names: one line, and the count a second later. A name's
    // control characters come escaped.
    for (const char* name :
         {"/var/kelvatro/conf/\x1b[2J\t/ORV_System.ini", "/var/kelvatro/conf/y/Setup_05_01.ini",
          "/var/kelvatro/conf/\xc2\x9b"
          "2J/ORV_System.ini"})
        handle(name);
    clock.advance_seconds(1);
    handle("/var/kelvatro/conf/ORV_System_y.ini");
    const auto refusal = [&](const std::string& escaped) {
        return "Setup change refused: " + escaped + " does not exist (looked at " + sandbox.root() +
               escaped + ")\n";
    };
    expected += " <ERR> " + refusal("/var/kelvatro/conf/\\x1B[2J\\t/ORV_System.ini") +
                " <ERR> Held back 2 more like: " +
                refusal("/var/kelvatro/conf/\\xC2\\x9B2J/ORV_System.ini");
    EXPECT_EQ(sandbox.log(), expected);
    EXPECT_STREQ(system_settings.UnitName, "BEFORE");
    EXPECT_EQ(network_settings.IP[0], 0);
    EXPECT_EQ(current_state.SetDateTime.year, 0);
    EXPECT_TRUE(sandbox.journal().empty());
    for (const char* name : {"/var/kelvatro/conf/ORV_System_x.ini", "/etc/ORV_Network.ini",
                             "/usr/kelvatro/conf/ORV_System_x.ini", "/var/www/missing.ini"})
        EXPECT_FALSE(sandbox.exists(name)) << name;

    for (const char* name :
         {"/var/kelvatro/conf/sub/../ORV_System.ini", "/var/kelvatro/conf/./ORV_System.ini"}) {
        std::strcpy(system_settings.UnitName, "BEFORE");
        clock.advance_seconds(1); // the same file is applied again a second later
        handle(name);
        EXPECT_STREQ(system_settings.UnitName, "INSIDE") << name;
    }
}

} // namespace
