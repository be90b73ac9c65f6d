// The program's passes: the start of the unit (main_init), the main loop, the
// close of a pass (main_term), and the reboot or power-off asked for at the end.
#include "main/lifecycle.h"

#include "board/fpga_device.h"
#include "board/spi_regs.h"
#include "log/status_log.h"
#include "main/current_state.h"
#include "main/local_zone.h"
#include "main/main_loop.h"
#include "main/net_probe.h"
#include "main/unit_state.h"
#include "os/atomic_file.h"
#include "os/file_access.h"
#include "os/pace.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/factory_reset.h"
#include "settings/file_store.h"
#include "settings/ini.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "sntp/ntp_client.h"
#include "timer/event_timer.h"
#include "tot/clock_authority.h"
#include "tot/ntp_daemon.h"
#include "tot/ntp_server.h"
#include "tot/time_delivery.h"
#include "tot/tot_capture.h"
#include "tot/tot_files.h"
#include "tot/tot_step.h"
#include "tot/tot_tuning.h"
#include "tuner/tuner_control.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

MainFlags main_flags;

namespace {

constexpr uint32_t kGpioStarting = 0x1100;
constexpr uint32_t kGpioSpiFailed = 0x0900;
constexpr uint32_t kGpioSwitchOn = 0x0200;
constexpr uint32_t kGpioStarted = 0x0100;

constexpr int kTotFunctionCode = 0x1F;

// Files the unit makes get exactly the modes it gives them.
constexpr mode_t kUnitUmask = 022;
// The lock file: root's, its pid readable by all.
constexpr mode_t kLockMode = 0644;

// The files the unit shares with the web front end in the settings directories
// (some only on the RAM disk).
constexpr const char* kKeptFiles[] = {"ORV_System.ini",  "ORV_Network.ini",  "Setup_05_01.ini",
                                      "ORV_Current.ini", "ORV_Function.ini", "Status_05_01.txt"};
// The files there that root's daemons obey, through their copies under /etc.
constexpr const char* kDaemonFiles[] = {"ntp.conf", "dhcpcd.conf"};

// Directories where a write cut short by a crash may have left a temporary file.
constexpr const char* kWrittenDirs[] = {"/var/kelvatro/conf", "/usr/kelvatro/conf", "/etc"};

void gpio_write(uint32_t value) {
    if (SpiWrite32(kRegGpioOutput, value, 0) < 0) std::puts("gpio_write_error");
}

// False when the read failed ("gpio_read_error") or the FPGA did not answer.
bool register_read(uint32_t reg, uint32_t& value) {
    value = 0;
    if (SpiRead32(reg, &value) < 0) {
        std::puts("gpio_read_error");
        return false;
    }
    return value != kFpgaSilentWord;
}

void poll_network_init_switch() {
    SwitchPoll poll{};
    while (true) {
        const SwitchPollStep step = switch_poll_reading(poll);
        if (step == SwitchPollStep::reset) {
            LogPrint(
                LOG_TO_BOTH, 3,
                "Network init switch held at start: network settings back to factory values\n");
            ResetNetworkFile();
        }
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
    ntp_daemon_report_settings();
    time_delivery_report();
    CheckSettingsFile(setup_path.data(), kTotSettingsShape);
    tot_read_settings(setup_path.data(), tot_settings);
    time_delivery_log_mode();
    time_delivery_claim();
    ntp_server.written = 0; // every pass writes the lines of the delivery it runs
    tuner_init();
    tot_arm_capture();
    tot_tuner_start(tot_settings, "reset"); // a daemon still running ran in the pass before
    tot_step(tot_settings, tot_status);
}

void restrict_daemon_file_reported(const char* path) {
    mode_t mode = 0;
    if (restrict_daemon_file(path, &mode) == 1 && (mode & 022))
        LogPrint(LOG_TO_BOTH, 3, "%s was writable by others than root (mode %04o): now 0644 root\n",
                 path, unsigned(mode));
}

// Before the files are read: the group of the shared files (a name that is no
// group reported once), the access of every file the unit keeps, and what a
// crash may have left behind.
void check_files_at_start() {
    static std::string reported; // until a pass finds the setting usable
    const std::string group = unknown_shared_group();
    if (!group.empty() && group != reported)
        LogPrint(LOG_TO_BOTH, 3, "ORV_GROUP names no group: %s; shared files kept for root\n",
                 LogEscaped(group).c_str());
    reported = group;
    for (const char* dir : {kRamConfDir, kSdConfDir}) {
        for (const char* name : kKeptFiles)
            restrict_shared_file((std::string(dir) + name).c_str());
        for (const char* name : kDaemonFiles)
            restrict_daemon_file_reported((std::string(dir) + name).c_str());
    }
    for (const char* dir : kWrittenDirs)
        remove_stale_temp_files(dir);
}

// The signal that asks the program to end (SIGTERM, SIGINT), 0 before one.
volatile std::sig_atomic_t end_signal = 0;

void on_end_signal(int signal_number) {
    end_signal = signal_number;
}

// Without SA_RESTART, so that the main loop's wait ends at once; a signal that a
// thread of the tuner library takes is seen at the next tick.
void catch_end_signals() {
    struct sigaction action {};
    action.sa_handler = on_end_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Ended by a signal, the unit no longer keeps the NTP daemon on broadcast time
// nor stops it at the holdover limit: the daemon is stopped, and the state file
// says so.
void end_time_service() {
    {
        std::lock_guard lock(tot_mutex);
        if (ntp_server.running) ntp_server_stop();
    }
    publish_unit_state();
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
    uint32_t value;
    const bool readable = register_read(kRegGpioInput, value);
    if (!readable && !poll.read_error_logged) {
        LogPrint(LOG_TO_BOTH, 3, "Network init switch read error (%08X): network settings kept\n",
                 value);
        poll.read_error_logged = true;
    }
    if (readable && (value & kNetworkInitSwitch)) {
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
    check_files_at_start();
    if (SpiOpen() < 0) {
        LogPrint(LOG_TO_BOTH, 3, "SPI Open Error\n");
        // Refused like every access on a link that did not open (-1, the bus
        // left untouched): this indication never reaches the board.
        SpiWrite32(kRegGpioOutput, kGpioSpiFailed, 0);
    }
    gpio_write(kGpioStarting);

    CheckSettingsFile(kSystemFilePath, kSystemFileShape);
    ReadSystemFile(kSystemFilePath, system_settings);
    PrintSystemSettings(system_settings);

    poll_network_init_switch();

    CheckSettingsFile(kNetworkFilePath, kNetworkFileShape);
    ReadNetworkFile(kNetworkFilePath, network_settings);
    PrintNetworkSettings(network_settings);
    ApplyNetworkSettings(network_settings);
    ntp_client_restart(); // the NTP client runs from the start when chosen
    report_time_source_conflict();
    gpio_write(kGpioStarting);

    current_state = CurrentState{};
    read_mac_address();

    TextStream function_text;
    FILE* function_file = text_stream_open(function_text);
    write_function_header(function_file, std::popcount(system_settings.SystemInfo), 0);
    uint32_t version;
    if (!register_read(kRegFpgaVersion, version))
        LogPrint(LOG_TO_BOTH, 3, "FPGA not answering: version register reads %08X\n", version);
    gpio_write(kGpioStarted);

    if (tot_function_enabled()) start_tot_function(function_file, version);

    if (function_file) write_function_file(function_text);
    return 0;
}

// The SPI link is released too, so that the next pass opens it afresh.
int main_term() {
    fpga_device_term();
    SpiClose();
    return 0;
}

int end_signal_received() {
    return end_signal;
}

int lock_run_directory() {
    static int held = -1;
    if (held >= 0) return 0;
    const int fd = unit_open(kRunLockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockMode);
    // Without its run directory the unit cannot make its FIFO either, and its
    // pass ends at once: it goes on without the lock.
    if (fd < 0) {
        std::fprintf(stderr, "Cannot open %s, no lock taken: %s\n", unit_path(kRunLockPath).c_str(),
                     std::strerror(errno));
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char owner[32] = "";
        const ssize_t length = pread(fd, owner, sizeof owner - 1, 0);
        owner[std::max<ssize_t>(length, 0)] = '\0';
        owner[std::strcspn(owner, "\n")] = '\0';
        std::fprintf(stderr, "Another unit runs on %s (pid %s): this one ends\n",
                     unit_path("/var/kelvatro").c_str(), *owner ? owner : "unknown");
        close(fd);
        return -1;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (fchmod(fd, kLockMode) != 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, pid.data(), pid.size(), 0) < 0)
        perror("<Error> orv_run() : lock file");
    held = fd;
    return 0;
}

int orv_run() {
    if (lock_run_directory() != 0) return 1;
    catch_end_signals();
    umask(kUnitUmask);
    unit_state_started();
    check_local_zone();
    timer_table_prepare();
    while (run_pass() > 0) {
    }
    if (end_signal) end_time_service();
    publish_unit_ended();
    if (main_flags.reboot) run_command("reboot");
    if (main_flags.shutdown) run_command("shutdown -h now");
    return 0;
}
