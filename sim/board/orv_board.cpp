// orv-board: the unit's board emulated at its device nodes, for the booted test
// image of tests/vm only (never packaged). /dev/spidev0.1 and
// /dev/kelvatro_hwreg0 are served from user space by the simulated FPGA,
// register device and IIC slaves of orv-sim, and what the simulated tuner sees
// of the same world is published for the tuner library that orv-main loads. Its
// start file and control FIFO (the sim control's lines) lie in
// /var/lib/orv-board. It makes device nodes: it refuses to run anywhere but in
// the booted test image. It ends on SIGTERM, SIGINT or SIGHUP.
#include "control.h"
#include "cuse_devices.h"
#include "sim_tuner_view.h"
#include "test_image.h"
#include "world.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

constexpr const char* kBoardDir = "/var/lib/orv-board";

} // namespace

int main() {
    if (!test_image_booted(kTestImageTokenPath, "/proc/cmdline") || std::getenv("ORV_ROOT")) {
        std::fprintf(stderr, "orv-board: not the booted test image (or ORV_ROOT is set): "
                             "refusing to run\n");
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every thread leaves the ending signals to the main thread's wait.
    sigset_t ending;
    sigemptyset(&ending);
    for (const int ends : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&ending, ends);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    mkdir(kBoardDir, 0755);
    sim_control_set_dir(kBoardDir);
    sim_world_publish_view(SIM_TUNER_VIEW_PATH);
    sim_world_reset();
    sim_apply_start_file();
    if (sim_control_start() != 0) return 1;
    if (board_devices_start() != 0) {
        sim_control_stop();
        return 1;
    }
    std::printf("orv-board: serving /dev/spidev0.1 and /dev/kelvatro_hwreg0\n");
    int received = 0;
    sigwait(&ending, &received);
    sim_control_stop();
    return 0;
}
