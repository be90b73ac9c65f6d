// Shared by the tuner tests: a sandbox with the simulated world reset, the
// simulated tuner library selected, and the tuner context set back afterwards.
#pragma once

#include "os/pace.h"
#include "sandbox.h"
#include "tuner/tuner_control.h"
#include "tuner/tuner_lib.h"
#include "world.h"

#include <dirent.h>
#include <gtest/gtest.h>
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
        t.fd = -1;
        t.expected_response = -1;
        t.signal = 0;
        t.first_data = 0;
        t.tune_requested = 0;
        t.first_tune_done = 0;
        t.frequency = 0;
        t.good_count = 0;
        t.bad_count = 0;
        t.filtered_lock = 0;
    }

    // The tunes that reached the simulated tuner, one "tune <Hz>" a line.
    std::vector<std::string> tunes() const {
        std::vector<std::string> lines;
        const std::string text = sandbox.read("/sim/tuner.log");
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
};

// Threads of this process now.
inline int thread_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}
