// The program's passes: the start of the unit (main_init), the main loop, the
// close of a pass (main_term), and the reboot or power-off asked for at the end.
#include "main/lifecycle.h"

#include "board/fpga_device.h"
#include "board/spi_regs.h"
#include "log/status_log.h"
#include "main/current_state.h"
#include "main/main_loop.h"
#include "main/net_probe.h"
#include "os/pace.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/factory_reset.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "timer/event_timer.h"
#include "tot/tot_files.h"
#include "tot/tot_step.h"
#include "tot/tot_tuning.h"
#include "tuner/tuner_control.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <mutex>

MainFlags main_flags;

namespace {

constexpr uint32_t kGpioStarting = 0x1100;
constexpr uint32_t kGpioSpiFailed = 0x0900;
constexpr uint32_t kGpioSwitchOn = 0x0200;
constexpr uint32_t kGpioStarted = 0x0100;

constexpr int kTotFunctionCode = 0x1F;

void gpio_write(uint32_t value) {
    if (SpiWrite32(kRegGpioOutput, value, 0) < 0) std::puts("gpio_write_error");
}

uint32_t register_read(uint32_t reg) {
    uint32_t value = 0;
    if (SpiRead32(reg, &value) < 0) std::puts("gpio_read_error");
    return value;
}

void poll_network_init_switch() {
    SwitchPoll poll{};
    while (true) {
        const SwitchPollStep step = switch_poll_reading(poll);
        if (step == SwitchPollStep::reset) ResetNetworkFile();
        if (step != SwitchPollStep::next) return;
        pace_sleep_seconds(1);
    }
}

void read_mac_address() {
    std::array<uint8_t, 6> mac{};
    if (get_mac(mac.data(), "eth0") < 0) LogPrint(LOG_TO_BOTH, 3, "get_mac error\n");
    LogPrint(LOG_TO_BOTH, 6, "M/B  MAC Addr : %02X:%02X:%02X:%02X:%02X:%02X\n", mac[0], mac[1],
             mac[2], mac[3], mac[4], mac[5]);
    std::memcpy(current_state.Mac, mac.data(), mac.size());
}

void start_tot_function(FILE* function_file, uint32_t version) {
    std::array<char, 128> setup_path{};
    std::snprintf(setup_path.data(), setup_path.size(), "/var/kelvatro/conf/Setup_%02X_%02X.ini",
                  kTotBoard, kTotSub);
    write_function_slot(function_file, 1, kTotBoard, kTotSub, kTotFunctionCode, version, "TOT");
    std::lock_guard lock(tot_mutex);
    tot_read_settings(setup_path.data(), tot_settings);
    tuner_init();
    SpiWrite32(kRegTotCaptureControl, kTotCaptureArm, 1);
    tot_tuner_start(tot_settings);
    tot_step(tot_settings, tot_status);
}

// One pass of the program; returns the pass result.
int run_pass() {
    LogPrint(LOG_TO_BOTH, 6, "----- Main Program Start -----\n");
    FpgaOpen(); // the "reg" and "iic" test commands need the register device
    main_init();
    const int result = main_loop();
    main_term();
    return result;
}

} // namespace

SwitchPollStep switch_poll_reading(SwitchPoll& poll) {
    ++poll.reading;
    const uint32_t value = register_read(kRegGpioInput);
    if (value & kNetworkInitSwitch) {
        gpio_write(kGpioSwitchOn);
        ++poll.on_count;
        std::printf("network init sw on : %08lX\n", static_cast<unsigned long>(value));
        if (poll.on_count == 3) return SwitchPollStep::reset;
    } else {
        std::printf("network init sw off : %08lX\n", static_cast<unsigned long>(value));
        gpio_write(kGpioStarting);
        if (poll.reading >= 6) return SwitchPollStep::done;
        poll.on_count = 0;
    }
    return poll.reading < kSwitchPollReadings ? SwitchPollStep::next : SwitchPollStep::done;
}

int main_init() {
    if (SpiOpen() < 0) {
        LogPrint(LOG_TO_BOTH, 3, "SPI Open Error\n");
        // Refused like every access on a link that did not open (-1, the bus
        // left untouched): this indication never reaches the board.
        SpiWrite32(kRegGpioOutput, kGpioSpiFailed, 0);
    }
    gpio_write(kGpioStarting);

    ReadSystemFile(kSystemFilePath, system_settings);
    PrintSystemSettings(system_settings);

    poll_network_init_switch();

    ReadNetworkFile(kNetworkFilePath, network_settings);
    PrintNetworkSettings(network_settings);
    ApplyNetworkSettings(network_settings);
    gpio_write(kGpioStarting);

    current_state = CurrentState{};
    read_mac_address();

    FILE* function_file = unit_fopen(kFunctionFilePath, "w");
    write_function_header(function_file, std::popcount(system_settings.SystemInfo), 0);
    const uint32_t version = register_read(kRegFpgaVersion);
    gpio_write(kGpioStarted);

    if (tot_function_enabled()) start_tot_function(function_file, version);

    if (function_file) {
        std::fclose(function_file);
        unit_chmod(kFunctionFilePath, 0666);
    }
    return 0;
}

int main_term() {
    fpga_device_term();
    return 0;
}

int orv_run() {
    timer_table_prepare();
    while (run_pass() > 0) {
    }
    if (main_flags.reboot) run_command("reboot");
    if (main_flags.shutdown) run_command("shutdown -h now");
    return 0;
}
