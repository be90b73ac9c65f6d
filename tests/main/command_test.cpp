// The command words of the control FIFO with their flags and results, and the
// "reg" and "iic" test commands on the simulated register device.
#include "main/command.h"

#include "board/fpga_device.h"
#include "fake_unit_clock.h"
#include "main_fixture.h"

namespace {

using CommandTest = MainTest;

// From a pass asking for a reboot; [UpLoadFpga] clears it and runs its three
// commands, though its package is missing.
TEST_F(CommandTest, CommandWordsSetTheirFlagsAndResults) {
    FakeUnitClock clock; // unknown messages are logged once a second, the others counted
    // The message, its result, the flags as running, reboot, shutdown, the log.
    const std::tuple<const char*, int, const char*, const char*> cases[] = {
        {" END\nx", 1, "110", " <ERR> Unknown control message ignored:  END\n"},
        {"RESE", 1, "110", ""},
        {"[Upload]", 1, "110", ""},
        {"LOG_DELETE\n", 1, "110", " <INF> ORV Log delete\n"},
        {"junk", 1, "110", ""}, // counted, whatever came between
        {"ENDING", 0, "011", " <INF> Main Program End\n"},
        {"[UpLoadFpga]", 0, "000",
         " <INF> File UpLoad & UpDate [FPGA]\n <ERR> Update package "
         "/usr/kelvatro/upload/data.tar.gz missing: nothing to install\n"},
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
    const Lines journal = sandbox.journal();
    EXPECT_EQ(Lines(journal.end() - 3, journal.end()),
              (Lines{"ps | grep '/bin/sh /var/kelvatro/bin/kelvsys_end' | egrep -v grep | "
                     "awk '{print \"kill \", $1}' | sh",
                     "cd /usr/kelvatro/upload; tar xzvf data.tar.gz; /bin/sh setup_fpga.sh ; sync;",
                     "/bin/sh /var/kelvatro/bin/kelvsys_end"}));
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

} // namespace
