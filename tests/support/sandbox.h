// A temporary sandbox root for tests that run unit code: ORV_ROOT points at it
// for the test's lifetime, with the unit's directories laid out inside; and the
// helpers that the tests share.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// The earliest clock setting in the tests (2000-01-01), whose times lie before
// the build; a test of the build's floor sets this one back when it ends.
constexpr time_t kTestsClockFloor = 946684800;

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// How often `what` occurs in `text`, overlaps included.
inline int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    // The host path of a unit path such as "/var/kelvatro/conf/ORV_System.ini".
    std::string path(std::string_view unit_path) const { return root_ + std::string(unit_path); }
    bool exists(std::string_view unit_path) const { return fs::exists(path(unit_path)); }
    std::string read(std::string_view unit_path) const;
    void write(std::string_view unit_path, std::string_view content) const;
    void remove(std::string_view unit_path) const {
        std::error_code ec;
        fs::remove_all(path(unit_path), ec);
    }
    // The command journal, one entry per command, the timestamps left off.
    Lines journal() const;
    int journaled(const std::string& command) const {
        return int(std::ranges::count(journal(), command));
    }
    // The status log, each line without its date and time.
    std::string log() const;
    Lines log_lines() const;
    int log_count(const std::string& text) const { return count(log(), text); }

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
