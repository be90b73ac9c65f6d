// The control FIFO's messages as they stand: any text of one read handed to the
// command dispatch of a unit in a sandbox, its register device the simulated
// board's. A command that ends the pass says so in its result and flags.
#include "board/fpga_device.h"
#include "board/reg_device.h"
#include "fuzz_sandbox.h"
#include "main/command.h"
#include "main/lifecycle.h"
#include "os/pace.h"
#include "reg_device.h"
#include "settings/system_file.h"

#include <array>
#include <cstring>
#include <filesystem>

namespace {

constexpr size_t kMessageSize = 512; // one read of the main loop

// A settings directory of a unit without the TOT function, laid out again
// when the inputs have filled it with files of their names.
void lay_out_settings() {
    const std::string conf = fuzz_path("/var/kelvatro/conf");
    std::filesystem::remove_all(conf);
    std::filesystem::create_directories(conf);
    fuzz_write("/var/kelvatro/conf/ORV_System.ini",
               "[ORVSystem]\nVersion=01000004\nSystemInfo=00000003\nTimeAdjust=0\n");
    fuzz_write("/var/kelvatro/conf/ORV_Network.ini", "[ORVNetwork]\nIP=10.0.0.2\n");
    fuzz_write("/var/kelvatro/conf/ORV_Current.ini",
               "[ORVCurrent]\nSetDate=2030/01/02\nSetTime=03:04:05\n");
    fuzz_write("/var/kelvatro/conf/Setup_05_01.ini", "[TOT]\nSet_TOT_CH_NUM=30\n");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool started = [] {
        fuzz_sandbox();
        pace_set_tick_ms(1);
        reg_device_set_ops(sim_reg_device_ops());
        FpgaOpen();
        lay_out_settings();
        return true;
    }();
    std::array<char, kMessageSize> message{};
    std::memcpy(message.data(), data, std::min(size, message.size() - 1));

    main_flags = {1, 0, 0};
    const int result = main_command(message.data());
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(result == 1 || main_flags.running == 0);
    FUZZ_CHECK(main_flags.running == 1 || std::strncmp(message.data(), "reg", 3) != 0);

    system_settings.SystemInfo &= ~kTotFunctionBit; // no tuner in this harness
    fuzz_forget_records();
    const std::filesystem::directory_iterator conf(fuzz_path("/var/kelvatro/conf"));
    if (std::distance(conf, std::filesystem::directory_iterator{}) > 64) lay_out_settings();
    return 0;
}
