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
#include "timer/event_timer.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

using Lines = std::vector<std::string>;

// How often `what` occurs in `text`.
inline int count_of(std::string_view text, std::string_view what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// How often a text occurs in the status log, whose lines end in "<LEVEL> text".
inline int count_in_log(const Sandbox& sandbox, std::string_view text) {
    return count_of(sandbox.read("/var/www/StatusLog.txt"), text);
}

// A whole ORV_System.ini with the given SystemInfo, every other value at its
// factory value.
inline std::string whole_system_file(const std::string& system_info) {
    return "[ORVSystem]\nVersion=01000004\nUnitID=0\nUnitName=VID UVIVEV\nSystemInfo=" +
           system_info +
           "\nOptionInfo=0\nCustumInfo=0\nLanguage=0\nHeaderTime=1\nTimeAdjust=0\n"
           "TimeAdjustInt=3600\nWebControl=1\nMakeDate=2024/01/01\nMakeTime=00:00:00\n"
           "ModifyDate=2024/01/01\nModifyTime=00:00:00\nAutoReset=0\nAutoResetTime=03:00:00\n";
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
        timer_table_prepare();
    }

    int count_in_log(std::string_view text) const { return ::count_in_log(sandbox, text); }

    // The status-log lines, each without its date and time.
    Lines log_lines() const {
        Lines lines;
        std::istringstream log(sandbox.read("/var/www/StatusLog.txt"));
        for (std::string line; std::getline(log, line);)
            lines.push_back(line.substr(std::min<size_t>(19, line.size())) + "\n");
        return lines;
    }
};
