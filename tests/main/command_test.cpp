// The command words of the control FIFO with their flags and results, and the
// "reg" and "iic" test commands on the simulated register device.
#include "main/command.h"

#include "board/fpga_device.h"
#include "fake_unit_clock.h"
#include "main_fixture.h"

namespace {

using CommandTest = MainTest;

// From a pass asking for a reboot (the updates: UpdateTest).
TEST_F(CommandTest, CommandWordsSetTheirFlagsAndResults) {
    // The message, its result, the flags as running, reboot, shutdown, the log.
    const std::tuple<const char*, int, const char*, const char*> cases[] = {
        {" END\nx", 1, "110", " <ERR> Unknown control message ignored:  END\n"},
        {"RESE", 1, "110", ""},
        {"[Upload]", 1, "110", ""},
        {"LOG_DELETE\n", 1, "110",
         " <ERR> Repeated 2 more times: Unknown control message ignored:  END\n"
         " <INF> ORV Log delete\n"},
        {"ENDING", 0, "011", " <INF> Main Program End\n"},
    };
    sandbox.write("/usr/kelvatro/log/2024/StatusLog_1.txt", "old\n");
    for (const auto& [message, result, flags_after, logged] : cases) {
        sandbox.remove("/var/www/StatusLog.txt");
        main_flags = {1, 1, 0};
        EXPECT_EQ(result, main_command(message)) << message;
        EXPECT_EQ(std::to_string(main_flags.running) + std::to_string(main_flags.reboot) +
                      std::to_string(main_flags.shutdown),
                  flags_after)
            << message;
        EXPECT_EQ(sandbox.log(), logged) << message;
    }
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/log/2024"));
}

// "reg" and "iic" go to the simulated bridge: slave 0x50 on port 0 is memory.
TEST_F(CommandTest, RegAndIicWriteAndReadBack) {
    FakeUnitClock clock;
    ASSERT_EQ(0, FpgaOpen());
    capture_stdout([&] {
        for (const char* message : {"reg", "iic 1 2 3", "reg 6200 1 2 3", "reg=0x6200\r\n",
                                    "iic 0 50 2 10 aa bb", "iic 0 50 0 10 aa"}) {
            EXPECT_EQ(1, main_command(message)) << message;
            clock.advance_seconds(1);
        }
    });
    FpgaClose();
    // A count of 0 writes only the address byte.
    EXPECT_EQ(sandbox.log_lines(), (Lines{" <DEBUG> reg (w) : addr=00006200, data=00000003\n",
                                          " <DEBUG> reg (r) : addr=00006200, data=00000003\n",
                                          " <DEBUG> reg (r) : addr=00006200, data=00000003\n",
                                          " <DEBUG> iic (w) : addr=10, data=AA ,BB ,\n",
                                          " <DEBUG> iic (r) : addr=10, data=AA ,BB , \n",
                                          " <DEBUG> iic (w) : addr=10, data=\n",
                                          " <DEBUG> iic (r) : addr=10, data= \n"}));
}

// A writer of the FIFO floods it with test commands: each kind of line is
// logged once a second, the rest counted, also while other lines come between
// (a refused "iic" alternating with one done).
TEST_F(CommandTest, FloodsOfTestCommandsAreLoggedOnceASecondPerKind) {
    FakeUnitClock clock;
    ASSERT_EQ(0, FpgaOpen());
    capture_stdout([&] {
        for (int second = 0; second < 2; ++second) {
            for (int i = 0; i < 30000; ++i)
                main_command("reg ff00");
            for (int i = 0; i < 3000; ++i) {
                main_command("iic 0 50 FF 0");
                main_command("iic 0 50 1 0 5");
            }
            clock.advance_seconds(1);
        }
    });
    FpgaClose();
    // In the second second each kind's line is the count of the first one's
    // held back; the second's own are counted at the test's end (the clock).
    EXPECT_EQ(sandbox.log_lines(),
              (Lines{" <DEBUG> reg (r) : addr=0000FF00, data=00000000\n",
                     " <ERR> iic : byte count 255 out of range (0 to 16), not done\n",
                     " <DEBUG> iic (w) : addr=00, data=05 ,\n",
                     " <DEBUG> iic (r) : addr=00, data=05 , \n",
                     " <DEBUG> Held back 29999 more like: reg (r) : addr=0000FF00, data=00000000\n",
                     " <ERR> Held back 2999 more like: iic : byte count 255 out of range (0 to "
                     "16), not done\n",
                     " <DEBUG> Held back 2999 more like: iic (w) : addr=00, data=05 ,\n",
                     " <DEBUG> Held back 2999 more like: iic (r) : addr=00, data=05 , \n"}));
}

} // namespace
