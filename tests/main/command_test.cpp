// The command words of the control FIFO with their flags and results, and the
// "reg" and "iic" test commands on the simulated register device.
#include "main/command.h"

#include "board/fpga_device.h"
#include "board/iic_bridge.h"
#include "main_fixture.h"

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
};

struct WordCase {
    const char* message;
    int result, running, reboot, shutdown;
    const char* logged; // "" for no line at all, null when not looked at
};

TEST_F(CommandTest, CommandWordsSetTheirFlagsAndResults) {
    // Every case starts with running set; the other flags carry over.
    const WordCase cases[] = {
        {"reboot", 1, 1, 0, 0, ""},
        {" END", 1, 1, 0, 0, ""},
        {"RESE", 1, 1, 0, 0, ""},
        {"[Upload]", 1, 1, 0, 0, ""},
        {"", 1, 1, 0, 0, ""},
        {"[SetupChange]\nFileName=/tmp/elsewhere.ini\n", 1, 1, 0, 0, nullptr},
        {"ENDING", 0, 0, 0, 1, "<INF> Main Program End\n"},
        {"REBOOT now\n", 0, 0, 1, 1, "<INF> Main Program End\n"},
        {"RESET\n", 1, 0, 1, 1, "<INF> Main Program Reset\n"},
    };
    for (const WordCase& c : cases) {
        SCOPED_TRACE(c.message);
        sandbox.remove("/var/www/StatusLog.txt");
        main_flags.running = 1;
        EXPECT_EQ(c.result, main_command(c.message));
        expect_flags(c.running, c.reboot, c.shutdown);
        if (!c.logged) continue;
        std::vector<std::string> expected;
        if (*c.logged) expected.push_back(std::string(" ") + c.logged);
        EXPECT_EQ(log_lines(), expected);
    }
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
    EXPECT_EQ(sandbox.journal(), std::vector<std::string>{"cd /usr/kelvatro/upload; tar xzvf "
                                                          "data.tar.gz; /bin/sh setup.sh; sync;"});
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
    EXPECT_EQ(sandbox.journal(), expected);
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
    EXPECT_EQ("rm -rf /usr/kelvatro/log/*", sandbox.journal().at(7)); // after the seven removals
}

TEST_F(CommandTest, LogDeleteEmptiesTheArchiveAndTheLoopGoesOn) {
    sandbox.write("/usr/kelvatro/log/StatusLog_1.txt", "old\n");
    EXPECT_EQ(1, main_command("LOG_DELETE\n"));
    expect_flags(1, 0, 0);
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/log/StatusLog_1.txt"));
    EXPECT_TRUE(logged("<INF> ORV Log delete\n"));
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
    const std::string out = capture_stdout([] {
        EXPECT_EQ(1, main_command("reg"));
        EXPECT_EQ(1, main_command("iic 1 2 3"));
        EXPECT_EQ(1, main_command("reg 6200 1 2 3"));
        EXPECT_EQ(1, main_command("reg=0x6200\r\n"));
    });
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{" <DEBUG> reg (w) : addr=00006200, data=00000003\n",
                                        " <DEBUG> reg (r) : addr=00006200, data=00000003\n",
                                        " <DEBUG> reg (r) : addr=00006200, data=00000003\n"}));
    EXPECT_EQ(std::string::npos, out.find("Zentu_IIC_Open()"));
}

TEST_F(TestCommandTest, IicWritesBytesAndReadsThemBack) {
    const std::string out = capture_stdout([] {
        EXPECT_EQ(1, main_command("iic 0 50 2 10 aa bb"));
        EXPECT_EQ(1, main_command("iic 0 50 0 10 aa"));
    });
    EXPECT_EQ("Zentu_IIC_Open()\n", out.substr(0, 17));
    EXPECT_TRUE(logged("<DEBUG> iic (w) : addr=10, data=AA ,BB ,\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (r) : addr=10, data=AA ,BB , \n"));
    // A count of 0 writes only the address byte; the read of 0 bytes is refused.
    EXPECT_TRUE(logged("<DEBUG> iic (w) : addr=10, data=\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (r) : addr=10, data= \n"));
}

TEST_F(TestCommandTest, IicCountAboveSixteenIsRefused) {
    const std::string out = capture_stdout([] { EXPECT_EQ(1, main_command("iic 0 50 20 10")); });
    EXPECT_TRUE(logged("<ERR> iic : byte count 32 out of range (0 to 16), not done\n"));
    EXPECT_EQ(std::string::npos, out.find("Zentu_IIC_Open()"));
    EXPECT_EQ(1u, log_lines().size());
}

TEST_F(TestCommandTest, IicWithoutAFreeChannelStillEchoes) {
    const uint32_t regs[4] = {0x1000, 0x1004, 0x1008, 0x1200};
    std::vector<int> channels;
    for (int i = 0; i < 6; ++i)
        channels.push_back(Zentu_IIC_Open(regs, 0, 0x50, 100));
    const std::string out = capture_stdout([] { main_command("iic 0 50 2 10 aa"); });
    for (int channel : channels)
        Zentu_IIC_Close(channel);

    EXPECT_EQ(2, count_of(out, "Error Zentu_Open() -1\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (w) : addr=10, data=AA ,00 ,\n"));
    EXPECT_TRUE(logged("<DEBUG> iic (r) : addr=10, data=00 ,00 , \n"));
}

} // namespace
