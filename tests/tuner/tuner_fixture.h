// Shared by the tuner tests: a sandbox with the simulated world reset, the
// simulated tuner library selected, and the tuner context set back afterwards.
#pragma once

#include "os/pace.h"
#include "sandbox.h"
#include "tuner/tuner_control.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

class TunerTest : public SandboxTest {
  protected:
    void SetUp() override {
        sim_world_reset();
        tuner_lib_set_path(ORV_SIMTUNER_PATH);
    }

    void TearDown() override {
        tuner_terminate();
        pace_set_tick_ms(1000);
        TunerContext& t = tuner_context;
        t.fd = t.expected_response = -1;
        t.signal = t.first_data = 0;
        t.tune_requested = t.first_tune_done = t.good_count = t.bad_count = t.filtered_lock = 0;
        t.frequency = 0;
    }

    // The tunes that reached the simulated tuner, one "tune <Hz>" a line.
    std::vector<std::string> tunes() const {
        std::vector<std::string> lines;
        std::istringstream log(sandbox.read("/sim/tuner.log"));
        for (std::string line; std::getline(log, line);)
            lines.push_back(line);
        return lines;
    }
};
