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

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// How often `what` occurs in `text`.
inline int count_of(std::string_view text, std::string_view what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

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
    bool logged(std::string_view level_and_text) const { return count_in_log(level_and_text) > 0; }

    int count_in_log(std::string_view text) const { return count_of(status_log(), text); }

    // The status-log lines, each without its date and time.
    std::vector<std::string> log_lines() const {
        std::vector<std::string> lines;
        std::istringstream log(status_log());
        for (std::string line; std::getline(log, line);)
            lines.push_back(line.substr(std::min<size_t>(19, line.size())) + "\n");
        return lines;
    }

    void write_system_file(std::string_view system_info) const {
        sandbox.write(kSystemFilePath, "[ORVSystem]\nVersion=01000004\nSystemInfo=" +
                                           std::string(system_info) + "\n");
    }
};
