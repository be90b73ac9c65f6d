// orv-sim: the unit's program on simulated hardware, inside a sandbox root.
// It runs only with ORV_ROOT set, so that nothing it does reaches the host:
// shell commands and clock settings go to the sandbox's command journal, and
// only file and text work inside the root really runs (the guarded shell).
#include "board/reg_device.h"
#include "board/spi_transport.h"
#include "control.h"
#include "eth0.h"
#include "fpga.h"
#include "guarded_shell.h"
#include "main/lifecycle.h"
#include "ntp_standin.h"
#include "os/pace.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "reg_device.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <sys/stat.h>

namespace {

// The root's text is placed into shell commands as the prefix of every unit
// path: only characters that need no quoting in a shell word are accepted.
bool root_is_safe(std::string_view root) {
    if (root.empty() || root[0] != '/') return false;
    for (const char c : root) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || std::strchr("/._-+", c) != nullptr;
        if (!plain) return false;
    }
    return true;
}

// ORV_SIM_TICK_MS: the length of one tick of the unit; 1000 when unset.
bool read_tick_ms(unsigned& tick_ms) {
    const char* text = std::getenv("ORV_SIM_TICK_MS");
    tick_ms = 1000;
    if (!text || !*text) return true;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 60000) return false;
    tick_ms = unsigned(value);
    return true;
}

// The guarded shell, with the unit's commands for its NTP daemon seen by the
// daemon's stand-in.
int run_in_sandbox(const std::string& command) {
    sim_ntp_note_command(command);
    return run_guarded(command);
}

constexpr const char* kUsage =
    "Usage: ORV_ROOT=<sandbox> orv-sim\n"
    "Runs the unit on simulated hardware inside the sandbox root ORV_ROOT\n"
    "(ORV_SIM_TICK_MS: the length of a tick; ORV_TUNER_LIB: another tuner library).\n"
    "scripts/run-sim.sh lays out a sandbox and runs it.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const bool help =
            std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h";
        if (!help) std::fprintf(stderr, "orv-sim: unknown argument: %s\n", argv[1]);
        std::fputs(kUsage, help ? stdout : stderr);
        return help && argc == 2 ? 0 : 2;
    }
    const char* root = std::getenv("ORV_ROOT");
    if (!root || !*root) {
        std::fprintf(stderr, "orv-sim: ORV_ROOT is not set; orv-sim runs only inside a sandbox "
                             "root (set ORV_ROOT to its directory)\n");
        return 1;
    }
    if (!root_is_safe(root)) {
        std::fprintf(stderr,
                     "orv-sim: ORV_ROOT must be an absolute path of letters, digits and "
                     "/._-+ only: %s\n",
                     root);
        return 1;
    }
    unsigned tick_ms;
    if (!read_tick_ms(tick_ms)) {
        std::fprintf(stderr, "orv-sim: ORV_SIM_TICK_MS must be a number of milliseconds "
                             "from 1 to 60000\n");
        return 1;
    }
    setenv("TZ", "Asia/Tokyo", 0);
    tzset();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    pace_set_tick_ms(tick_ms);
    sandbox_reload();
    shell_install_sandbox_runner(run_in_sandbox);

    // One unit a sandbox: a second one touches none of the first one's files.
    if (lock_run_directory() != 0) return 1;
    const std::string sim_dir = std::string(root) + "/sim";
    if (mkdir(sim_dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "orv-sim: cannot make %s: %s\n", sim_dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    sim_world_reset();
    sim_apply_start_file();
    if (sim_control_start() != 0) return 1;
    sim_ntp_start();

    spi_set_transport(sim_fpga_transport());
    reg_device_set_ops(sim_reg_device_ops());
    sim_eth0_install();
    const char* tuner_lib = std::getenv("ORV_TUNER_LIB");
    tuner_lib_set_path(tuner_lib && *tuner_lib ? tuner_lib : ORV_SIMTUNER_PATH);

    const int status = orv_run();
    sim_ntp_stop();
    sim_control_stop();
    return status;
}
