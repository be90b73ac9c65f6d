// The command words of the control FIFO with their flags, results and
// answers, and the "reg" and "iic" test commands on the simulated register
// device.
#include "main/command.h"
#include "main/command_answer.h"

#include "board/fpga_device.h"
#include "fake_unit_clock.h"
#include "main_fixture.h"

#include <regex>

namespace {

using CommandTest = MainTest;

// The answers file with its lines' dates and times left out.
std::string answers_shown(const Sandbox& sandbox) {
    answers_publish();
    static const std::regex stamp("\t[0-9/]{10} [0-9:]{8} ");
    return std::regex_replace(sandbox.read(kAnswersFilePath), stamp, "\t");
}

// From a pass asking for a reboot (the updates: UpdateTest). Each message is
// answered: refused or carried out, with the lines logged for it, also those
// held back.
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
    EXPECT_EQ(answers_shown(sandbox),
              "; The unit's answers to its last control messages, oldest first (orvctl send "
              "shows\n; its own): Answer=NUMBER done|refused MESSAGE, then the lines logged for "
              "it, each\n; after a TAB.\nPid=" +
                  std::to_string(getpid()) +
                  "\nAnswer=1 refused  END\\nx\n\t<ERR> Unknown control message ignored:  END\n"
                  "Answer=2 refused RESE\n\t<ERR> Unknown control message ignored: RESE\n"
                  "Answer=3 refused [Upload]\n\t<ERR> Unknown control message ignored: "
                  "[Upload]\nAnswer=4 done LOG_DELETE\\n\n\t<INF> ORV Log delete\n"
                  "Answer=5 refused junk\n\t<ERR> Unknown control message ignored: junk\n"
                  "Answer=6 done ENDING\n\t<INF> Main Program End\n");
    EXPECT_FALSE(sandbox.exists("/usr/kelvatro/log/2024"));
}

// "reg" and "iic" go to the simulated bridge: slave 0x50 on port 0 is memory;
// without their register address they are refused.
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
    EXPECT_EQ(sandbox.log_lines(), (Lines{" <ERR> reg : no register address, not done\n",
                                          " <ERR> iic : no register address, not done\n",
                                          " <DEBUG> reg (w) : addr=00006200, data=00000003\n",
                                          " <DEBUG> reg (r) : addr=00006200, data=00000003\n",
                                          " <DEBUG> reg (r) : addr=00006200, data=00000003\n",
                                          " <DEBUG> iic (w) : addr=10, data=AA ,BB ,\n",
                                          " <DEBUG> iic (r) : addr=10, data=AA ,BB , \n",
                                          " <DEBUG> iic (w) : addr=10, data=\n",
                                          " <DEBUG> iic (r) : addr=10, data= \n"}));
}

} // namespace
