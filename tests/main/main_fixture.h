// A sandboxed unit on the simulated board, at a fast pace, for the tests of
// the main control.
#pragma once

#include "board/reg_device.h"
#include "board/spi_transport.h"
#include "fpga.h"
#include "main/current_state.h"
#include "main/lifecycle.h"
#include "os/pace.h"
#include "reg_device.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <string>
#include <string_view>

class MainTest : public SandboxTest {
  protected:
    void SetUp() override {
        pace_set_tick_ms(10);
        sim_world_reset();
        spi_set_transport(sim_fpga_transport());
        reg_device_set_ops(sim_reg_device_ops());
        tuner_lib_set_path(ORV_SIMTUNER_PATH);
        main_flags = {};
        current_state = {};
        system_settings = {};
    }

    std::string status_log() const { return sandbox.read("/var/www/StatusLog.txt"); }

    // A status-log line ends in "<LEVEL> text"; the date and time before it vary.
    bool logged(std::string_view level_and_text) const {
        return status_log().find(std::string(level_and_text)) != std::string::npos;
    }

    int count_in_log(std::string_view text) const {
        const std::string log = status_log();
        int count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }

    void write_system_file(std::string_view system_info) const {
        sandbox.write(kSystemFilePath, "[ORVSystem]\nVersion=01000004\nSystemInfo=" +
                                           std::string(system_info) + "\n");
    }
};
