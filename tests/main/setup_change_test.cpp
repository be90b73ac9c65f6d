// Setup change: the classification of file names, the FileName of the
// message, taking over each kind of file, and the refusal of files outside
// the settings directory.
#include "fake_unit_clock.h"
#include "main/current_state.h"
#include "main/setup_change.h"
#include "os/clock.h"
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
    static void handle(const std::string& name_or_message) {
        std::string text = name_or_message.find('\n') == std::string::npos
                               ? "[SetupChange]\nFileName=" + name_or_message + "\n"
                               : name_or_message;
        capture_stdout([&] { HandleSetupChange(text.data()); });
    }

    void write_system_file(const char* unit_path, const char* name) {
        sandbox.write(unit_path, std::string("[ORVSystem]\nVersion=01000004\nUnitName=") + name +
                                     "\t; name\nTimeAdjust=0\n");
    }
};

// The FileName counts only after the header; names of no kind, setups of other
// boards, and the TOT board's without the TOT function are only noted.
TEST_F(SetupChangeTest, OnlyNotedUnlessTheFileIsTaken) {
    tot_settings = TotSettings{1, 0, 27, 7};
    for (const char* name : {"Setup_05_02.ini", "Setup_06_01.ini", "Setup_TOT_01.ini"})
        sandbox.write(std::string("/var/kelvatro/conf/") + name, "[TOT]\nSet_TOT_CH_NUM=40\n");
    write_system_file(kSystemFilePath, "TAKEN");
    for (const char* message : {"[SetupChange]\nFileName=ORV_Function.ini\n",
                                "[SetupChange]\nFileName=/x/Filter_01_02.ini\n",
                                "FileName=/var/kelvatro/conf/ORV_System.ini\n[SetupChange]\n",
                                "[SetupChange]\nFileName\n", "/var/kelvatro/conf/Setup_05_02.ini"})
        handle(message);
    system_settings.SystemInfo = kTotFunctionBit;
    handle("/var/kelvatro/conf/Setup_06_01.ini");
    handle("/var/kelvatro/conf/Setup_TOT_01.ini");
    EXPECT_EQ(tot_settings.Set_TOT_CH_NUM, 27);
    EXPECT_STREQ(system_settings.UnitName, "BEFORE");
    EXPECT_TRUE(sandbox.journal().empty());
    EXPECT_EQ(sandbox.log(), "");
    handle("[SetupChange]\r\nFileName=/var/kelvatro/conf/ORV_System.ini\r\n");
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
// While the TOT function is on and the last take is within the holdover limit,
// or before the program's build, a set date is refused: logged, not stored.
TEST_F(SetupChangeTest, ChangedSetDateSetsTheClocksUnlessBroadcastTimeIsKept) {
    FakeUnitClock clock;
    const auto commands = [this] {
        Lines lines;
        std::ranges::copy_if(sandbox.journal(), std::back_inserter(lines),
                             [](const std::string& c) { return !c.starts_with("clock_settime"); });
        return lines;
    };
    // The TOT function, a take, the build's floor (2024-01-07 or none), the day.
    for (const auto& [function, taken, floor, day] :
         {std::tuple{kTotFunctionBit, true, kTestsClockFloor, 3},
          {kTotFunctionBit, false, kTestsClockFloor, 4},
          {0u, true, kTestsClockFloor, 5},
          {0u, false, time_t{1704585600}, 6},
          {0u, false, kTestsClockFloor, 5}}) { // unchanged: nothing done
        system_settings.SystemInfo = function;
        holdover = HoldoverState{};
        if (taken) holdover_take();
        clock_floor_set(floor);
        sandbox.write(kCurrentFilePath, "[ORVCurrent]\nSetDate=2024/01/0" + std::to_string(day) +
                                            "\t; d\nSetTime=09:07:03\n");
        handle(kCurrentFilePath);
        clock.advance_seconds(1);
    }
    clock_floor_set(kTestsClockFloor);
    EXPECT_EQ(commands(), (Lines{"date -s \"2024-01-04 09:07:03\"", "hwclock -wu",
                                 "date -s \"2024-01-05 09:07:03\"", "hwclock -wu"}));
    EXPECT_EQ(current_state.SetDateTime.day, 5);
    EXPECT_EQ(sandbox.log_count(" <INF> Set Date   : 2024/01/0"), 2);
    EXPECT_EQ(sandbox.log_count(" <ERR> Clock not set to 2024-01-03 09:07:03: the unit keeps "
                                "broadcast time\n"),
              1);
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
    // Taken, and only noted (another board's setup).
    const std::string taken = "/var/kelvatro/conf/Setup_06_01.ini";
    sandbox.write(taken, "[TOT]\n");
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
        handle(taken);
        clock.advance_seconds(1);
        expected += " <ERR> Setup change refused: " + name + " " + reason + " (looked at " +
                    sandbox.path(name) + ")\n";
    }
    // A flood of names, files taken between: one line, and the count a second
    // later. A name's control characters come escaped.
    for (const char* name :
         {"/var/kelvatro/conf/\x1b[2J\t/ORV_System.ini", "/var/kelvatro/conf/y/Setup_05_01.ini",
          "/var/kelvatro/conf/\xc2\x9b"
          "2J/ORV_System.ini"}) {
        handle(name);
        handle(taken);
    }
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
