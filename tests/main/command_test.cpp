// The command words of the control FIFO with their flags and results, and the
// "reg" and "iic" test commands on the simulated register device.
#include "main/command.h"

#include "board/fpga_device.h"
#include "board/iic_bridge.h"
#include "main_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

class CommandTest : public MainTest {
  protected:
    void SetUp() override {
        MainTest::SetUp();
        main_flags.running = 1;
    }

    void expect_flags(int running, int reboot, int shutdown) const {
        EXPECT_EQ(running, main_flags.running);
        EXPECT_EQ(reboot, main_flags.reboot);
        EXPECT_EQ(shutdown, main_flags.shutdown);
    }

    bool journaled(const std::string& command) const {
        const auto journal = sandbox.journal();
        return std::find(journal.begin(), journal.end(), command) != journal.end();
    }
};

TEST_F(CommandTest, RebootFollowedByAnyTextIsReboot) {
    EXPECT_EQ(0, main_command("REBOOT now\n"));
    expect_flags(0, 1, 0);
    EXPECT_TRUE(logged("<INF> Main Program End\n"));
}

TEST_F(CommandTest, LowerCaseRebootIsNoCommand) {
    EXPECT_EQ(1, main_command("reboot"));
    expect_flags(1, 0, 0);
    EXPECT_EQ("", status_log());
}

TEST_F(CommandTest, EndingIsEnd) {
    EXPECT_EQ(0, main_command("ENDING"));
    expect_flags(0, 0, 1);
    EXPECT_TRUE(logged("<INF> Main Program End\n"));
}

TEST_F(CommandTest, ResetEndsThePassWithResultOne) {
    main_flags.reboot = 1;
    EXPECT_EQ(1, main_command("RESET\n"));
    expect_flags(0, 1, 0);
    EXPECT_TRUE(logged("<INF> Main Program Reset\n"));
}

TEST_F(CommandTest, UnknownTextDoesNothing) {
    for (const char* text : {"", "RESE", "[Upload]", "LOG-DELETE", " END", "FACTORY"})
        EXPECT_EQ(1, main_command(text)) << text;
    expect_flags(1, 0, 0);
    EXPECT_EQ("", status_log());
}

TEST_F(CommandTest, UploadRunsTheSetupScriptOfThePackageAndReboots) {
    sandbox.write("/usr/kelvatro/upload/pkg/setup.sh", "echo installed > \"$PWD/marker\"\n");
    const std::string upload = sandbox.path("/usr/kelvatro/upload");
    ASSERT_EQ(
        0, std::system(
               ("tar czf '" + upload + "/data.tar.gz' -C '" + upload + "/pkg' setup.sh").c_str()));
    sandbox.remove("/usr/kelvatro/upload/pkg");

    EXPECT_EQ(0, main_command("[UpLoad]\n"));
    expect_flags(0, 1, 0);
    EXPECT_TRUE(logged("<INF> File UpLoad & UpDate\n"));
    EXPECT_TRUE(
        journaled("cd /usr/kelvatro/upload; tar xzvf data.tar.gz; /bin/sh setup.sh; sync;"));
    EXPECT_EQ("installed\n", sandbox.read("/usr/kelvatro/upload/marker"));
}

TEST_F(CommandTest, UploadFpgaClearsAPendingRebootAndRunsItsThreeCommands) {
    main_flags.reboot = 1;
    EXPECT_EQ(0, main_command("[UpLoadFpga]"));
    expect_flags(0, 0, 0);
    EXPECT_TRUE(logged("<INF> File UpLoad & UpDate [FPGA]\n"));
    const std::vector<std::string> expected = {
        "ps | grep '/bin/sh /var/kelvatro/bin/kelvsys_end' | egrep -v grep | awk '{print \"kill "
        "\", "
        "$1}' | sh",
        "cd /usr/kelvatro/upload; tar xzvf data.tar.gz; /bin/sh setup_fpga.sh ; sync;",
        "/bin/sh /var/kelvatro/bin/kelvsys_end",
    };
    const auto journal = sandbox.journal();
    auto at = journal.begin();
    for (const auto& command : expected) {
        at = std::find(at, journal.end(), command);
        EXPECT_NE(journal.end(), at) << command;
    }
}

TEST_F(CommandTest, FactoryResetRemovesSetupFilesEmptiesTheArchiveAndReboots) {
    sandbox.write("/var/kelvatro/conf/Setup_05_01.ini", "[TOT]\n");
    sandbox.write("/var/kelvatro/conf/ORV_System.ini", "[ORVSystem]\n");
    sandbox.write("/usr/kelvatro/log/old.log", "old\n");
    EXPECT_EQ(0, main_command("FACTORY_RESET"));
    expect_flags(0, 1, 0);
    EXPECT_TRUE(logged("<INF> ORV Factory Reset\n"));
    EXPECT_FALSE(sandbox.exists("/var/kelvatro/conf/Setup_05_01.ini"));
    EXPECT_TRUE(sandbox.exists("/var/kelvatro/conf/ORV_System.ini"));
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/log/old.log"));
}

TEST_F(CommandTest, LogDeleteEmptiesTheArchiveAndTheLoopGoesOn) {
    sandbox.write("/usr/kelvatro/log/StatusLog_1.txt", "old\n");
    sandbox.write("/usr/kelvatro/log/StatusLog_2.txt", "older\n");
    EXPECT_EQ(1, main_command("LOG_DELETE\n"));
    expect_flags(1, 0, 0);
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/log/StatusLog_1.txt"));
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/log/StatusLog_2.txt"));
    EXPECT_TRUE(logged("<INF> ORV Log delete\n"));
}

TEST_F(CommandTest, SetupChangeKeepsTheLoopGoing) {
    EXPECT_EQ(1, main_command("[SetupChange]\nFileName=/tmp/elsewhere.ini\n"));
    expect_flags(1, 0, 0);
}

class TestCommandTest : public CommandTest {
  protected:
    void SetUp() override {
        CommandTest::SetUp();
        ASSERT_EQ(0, FpgaOpen());
    }
    void TearDown() override { FpgaClose(); }
};

TEST_F(TestCommandTest, RegWritesTheLastValueAndReadsItBack) {
    EXPECT_EQ(1, main_command("reg 6200 1 2 3"));
    EXPECT_TRUE(logged("<DEBUG> reg (w) : addr=00006200, data=00000003\n"));
    EXPECT_TRUE(logged("<DEBUG> reg (r) : addr=00006200, data=00000003\n"));
}

TEST_F(TestCommandTest, RegWithAddressOnlyReads) {
    EXPECT_EQ(1, main_command("reg=0x6200\r\n"));
    EXPECT_EQ(std::string::npos, status_log().find("reg (w)"));
    EXPECT_TRUE(logged("<DEBUG> reg (r) : addr=00006200, data="));
}

TEST_F(TestCommandTest, RegOrIicWithoutTheirTokensDoNothing) {
    const std::string out = capture_stdout([] {
        EXPECT_EQ(1, main_command("reg"));
        EXPECT_EQ(1, main_command("reg\n"));
        EXPECT_EQ(1, main_command("iic 1 2 3"));
    });
    EXPECT_EQ("", status_log());
    EXPECT_EQ(std::string::npos, out.find("Zentu_IIC_Open()"));
}

TEST_F(TestCommandTest, IicWritesTwoBytesAndReadsThemBack) {
    const std::string out =
        capture_stdout([] { EXPECT_EQ(1, main_command("iic 0 50 2 10 aa bb")); });
    EXPECT_NE(std::string::npos, out.find("Zentu_IIC_Open()\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (w) : addr=10, data=AA ,BB ,\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (r) : addr=10, data=AA ,BB , \n"));
}

TEST_F(TestCommandTest, IicCountOfZeroWritesOnlyTheAddressByte) {
    EXPECT_EQ(1, main_command("iic 0 50 0 10 aa"));
    EXPECT_TRUE(logged("<DEBUG> iic (w) : addr=10, data=\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (r) : addr=10, data= \n"));
}

TEST_F(TestCommandTest, IicCountAboveSixteenIsRefused) {
    const std::string out = capture_stdout([] { EXPECT_EQ(1, main_command("iic 0 50 20 10")); });
    EXPECT_TRUE(logged("<ERR> iic : byte count 32 out of range (0 to 16), not done\n"));
    EXPECT_EQ(std::string::npos, out.find("Zentu_IIC_Open()"));
    EXPECT_EQ(std::string::npos, status_log().find("iic (r)"));
}

TEST_F(TestCommandTest, IicWithoutAFreeChannelStillEchoes) {
    const uint32_t regs[4] = {0x1000, 0x1004, 0x1008, 0x1200};
    std::vector<int> channels;
    for (int i = 0; i < 6; ++i)
        channels.push_back(Zentu_IIC_Open(regs, 0, 0x50, 100));
    const std::string out = capture_stdout([] { main_command("iic 0 50 2 10 aa"); });
    for (int channel : channels)
        Zentu_IIC_Close(channel);

    size_t errors = 0;
    for (size_t at = out.find("Error Zentu_Open() -1\n"); at != std::string::npos;
         at = out.find("Error Zentu_Open() -1\n", at + 1))
        ++errors;
    EXPECT_EQ(2u, errors);
    EXPECT_TRUE(logged("<DEBUG> iic (w) : addr=10, data=AA ,00 ,\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (r) : addr=10, data=00 ,00 , \n"));
}

} // namespace
