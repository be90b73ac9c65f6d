// orv-vmtest: the unit's program on simulated hardware (FPGA, register device,
// tuner library) over the real system: its commands run, it sets the clock and
// its files lie in their places. It is built for the booted test image only and
// refuses to run anywhere else. The simulator's start file and control FIFO lie
// in /var/lib/orv-vmtest.
#include "board/reg_device.h"
#include "board/spi_transport.h"
#include "control.h"
#include "fpga.h"
#include "image_guard.h"
#include "main/lifecycle.h"
#include "reg_device.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <cstdio>
#include <cstdlib>

int main() {
    if (!vmtest_image_booted(kImageTokenPath, "/proc/cmdline") || std::getenv("ORV_ROOT")) {
        std::fprintf(stderr, "orv-vmtest: not the booted test image (or ORV_ROOT is set): "
                             "refusing to run\n");
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sim_control_set_dir("/var/lib/orv-vmtest");
    sim_world_reset();
    sim_apply_start_file();
    if (sim_control_start() != 0) return 1;
    spi_set_transport(sim_fpga_transport());
    reg_device_set_ops(sim_reg_device_ops());
    tuner_lib_set_path("liborv-simtuner.so");
    const int status = orv_run();
    sim_control_stop();
    return status;
}
