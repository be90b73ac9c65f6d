// A temporary sandbox root for tests that run unit code: ORV_ROOT points at it
// for the test's lifetime, with the unit's directories laid out inside.
#pragma once

#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The earliest clock setting in the tests (2000-01-01), whose times lie before
// the build; a test of the build's floor sets this one back when it ends.
constexpr time_t kTestsClockFloor = 946684800;

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    // The host path of a unit path such as "/var/kelvatro/conf/ORV_System.ini".
    std::string path(std::string_view unit_path) const;
    bool exists(std::string_view unit_path) const;
    std::string read(std::string_view unit_path) const;
    void write(std::string_view unit_path, std::string_view content) const;
    void remove(std::string_view unit_path) const;
    // The command journal, one entry per command, the timestamps left off.
    std::vector<std::string> journal() const;
    // The status log, each line without its date and time.
    std::string log() const;

  private:
    std::string root_;
};

class SandboxTest : public ::testing::Test {
  protected:
    Sandbox sandbox;
};

// Everything written to standard output while the function runs.
template <typename F> std::string capture_stdout(F&& f) {
    ::testing::internal::CaptureStdout();
    f();
    return ::testing::internal::GetCapturedStdout();
}

// Polls until the condition holds; false after 30 seconds.
template <typename P> bool eventually(P condition) {
    for (int i = 0; i < 3000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}
