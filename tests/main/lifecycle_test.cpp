// The start of a pass: the network-init switch polling, the GPIO output
// register along the way and the network settings it may reset; the SPI link
// through the bcm2835 library; device nodes missing at start; the check of the
// local zone.
#include "board/device_nodes.h"
#include "board/fpga_device.h"
#include "board/spi_bcm2835.h"
#include "board/spi_regs.h"
#include "board/spi_spidev.h"
#include "main/local_zone.h"
#include "main_fixture.h"

namespace {

// Readings as '1' (on) and '0' (off); the steps as '.' (next), 'R' (reset), 'D'
// (done). The indication along the way: e2e cold_start.
TEST_F(MainTest, ThirdConsecutiveOnReadingBeforeTheSixthOffAsksForTheReset) {
    ASSERT_EQ(0, SpiOpen());
    const char* const cases[][2] = {{"111", "..R"}, {"110111", ".....R"}, {"011010", ".....D"}};
    for (const auto& [positions, expected] : cases) {
        SwitchPoll state{};
        std::string steps;
        for (const char* on = positions; *on; ++on) {
            sim_world_apply(*on == '1' ? "switch on" : "switch off");
            capture_stdout([&] { steps += ".RD"[int(switch_poll_reading(state))]; });
        }
        EXPECT_EQ(expected, steps) << positions;
    }
}

std::string library_calls;
int spi_begin_result = 0;

// The library as it behaves on a Raspberry Pi: a bus that reads all zeros.
constexpr Bcm2835Api kLibraryStandIn{
    [] { return library_calls += "init ", 1; },
    [] { return library_calls += "close ", 1; },
    [] { return library_calls += "begin ", spi_begin_result; },
    [] { library_calls += "end "; },
    [](uint8_t order) { library_calls += "order " + std::to_string(order) + " "; },
    [](uint8_t mode) { library_calls += "mode " + std::to_string(mode) + " "; },
    [](uint16_t divider) { library_calls += "divider " + std::to_string(divider) + " "; },
    [](uint8_t cs) { library_calls += "cs " + std::to_string(cs) + " "; },
    [](uint8_t cs, uint8_t active) {
        library_calls += "polarity " + std::to_string(cs) + "," + std::to_string(active) + " ";
    },
    [](char* buf, uint32_t length) { std::fill(buf, buf + length, 0); }};

// Without root bcm2835_spi_begin fails: the library is closed, the SPI set-up
// never runs, and the start goes on (here without the hardware address too).
// An open link is released at the end of the pass.
TEST_F(MainTest, Bcm2835LinkFailsCleanlyWithoutRootAndClosesAtTheEndOfThePass) {
    spi_bcm2835_set_api(&kLibraryStandIn);
    spi_set_transport(spi_bcm2835_transport());
    for (const auto& [begin, opened] :
         {std::pair{0, "init begin close "},
          std::pair{1, "init begin order 1 mode 0 divider 128 cs 1 polarity 1,0 "}}) {
        library_calls.clear();
        spi_begin_result = begin;
        fake_eth0.hwaddr_fails = !begin;
        capture_stdout([] { EXPECT_EQ(0, main_init()); });
        EXPECT_EQ(library_calls, opened);
        EXPECT_EQ(sandbox.log_count("<ERR> SPI Open Error\n"), 1);
        library_calls.clear();
        main_term();
        EXPECT_EQ(library_calls, begin ? "end close " : "");
    }
    spi_bcm2835_set_api(nullptr);
    spi_set_transport(nullptr);
    EXPECT_EQ(0, sandbox.journaled("rm -rf /var/kelvatro/conf/ORV_Network.ini")); // read as off
    EXPECT_EQ(1, sandbox.log_count(" <ERR> get_mac error\n"));
    EXPECT_EQ(1, sandbox.log_count(" <INF> M/B  MAC Addr : 00:00:00:00:00:00\n"));
}

// A device node that the kernel did not make is said at start with its remedy
// and is the reason for not serving: the register device (the sandbox has
// none), and the SPI bus before it once that is missing too.
TEST_F(MainTest, MissingDeviceNodeIsSaidWithItsRemedyAndIsTheReason) {
    const std::string spi = "/dev/orv-test-none missing: SPI not enabled (dtparam=spi=on in "
                            "the Raspberry Pi's config.txt, then reboot)";
    const std::string registers = "/dev/kelvatro_hwreg0 missing: the FPGA board's driver not "
                                  "loaded (install and load its kernel module)";
    sandbox.write("/etc/default/orv-main", "ORV_SPIDEV=/dev/orv-test-none\n");
    for (const bool spidev : {false, true}) {
        spi_set_transport(spidev ? spi_spidev_transport() : sim_fpga_transport());
        reg_device_set_ops(nullptr);
        capture_stdout([] {
            FpgaOpen();
            main_init();
            publish_unit_state();
        });
        const std::string& reason = spidev ? spi : registers;
        EXPECT_TRUE(contains(sandbox.read(kStateFilePath), "\nReason=" + reason + "\t")) << reason;
        main_term();
    }
    EXPECT_EQ(sandbox.log_count("<ERR> " + spi + "\n"), 1);
    EXPECT_EQ(sandbox.log_count("<ERR> " + registers + "\n"), 2);
    board_device_opened(BoardDevice::spi, "", 0);
    board_device_opened(BoardDevice::registers, "", 0);
}

TEST_F(MainTest, LocalZoneOtherThanJapanIsReported) {
    for (const char* zone : {"Europe/London", "Asia/Tokyo"}) {
        setenv("TZ", zone, 1);
        tzset();
        capture_stdout(check_local_zone);
    }
    EXPECT_EQ(sandbox.log_count("<ERR> Local time is not Japan time (UTC+9)"), 1);
}

} // namespace
