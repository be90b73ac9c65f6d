// The main loop and the program run, driven through the control FIFO from the
// test thread while the loop runs on a thread of its own.
#include "main/main_loop.h"

#include "main_fixture.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class MainLoopTest : public MainTest {
  public:
    int ready_count() const { return count_in_log("<INF> Main Program Ready\n"); }
};

// Runs a function (main_loop or orv_run) on its own thread and writes to the
// control FIFO once the loop has said it is ready.
class LoopRunner {
  public:
    LoopRunner(const Sandbox& sandbox, const MainLoopTest& test, std::function<int()> run)
        : sandbox_(sandbox), test_(test), thread_([this, run] {
              result_ = run();
              done_ = true;
          }) {}

    ~LoopRunner() {
        if (!done_) stop();
        if (thread_.joinable()) thread_.join();
        if (writer_ >= 0) close(writer_);
    }

    // Waits for the given number of "Main Program Ready" lines, then opens the
    // FIFO for writing.
    bool wait_ready(int passes = 1) {
        for (int i = 0; i < 3000 && !done_; ++i) {
            if (test_.ready_count() >= passes) {
                if (writer_ >= 0) close(writer_);
                writer_ = open(sandbox_.path(kControlFifoPath).c_str(), O_WRONLY | O_NONBLOCK);
                if (writer_ >= 0) return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    void send(std::string_view text) {
        ASSERT_EQ(ssize_t(text.size()), write(writer_, text.data(), text.size()));
    }

    // The run's result once it has ended; fails the test (and ends the loop)
    // when it does not end.
    int finish() {
        for (int i = 0; i < 3000 && !done_; ++i)
            std::this_thread::sleep_for(10ms);
        if (!done_) {
            ADD_FAILURE() << "the loop did not end";
            stop();
        }
        thread_.join();
        return result_;
    }

  private:
    void stop() {
        if (wait_ready()) send("END");
    }

    const Sandbox& sandbox_;
    const MainLoopTest& test_;
    std::atomic<bool> done_{false};
    int result_ = 0;
    int writer_ = -1;
    std::thread thread_;
};

TEST_F(MainLoopTest, MakesTheFifoAnewOverALeftoverAndRemovesItAtTheEnd) {
    ASSERT_EQ(0, mkfifo(sandbox.path(kControlFifoPath).c_str(), 0600));
    LoopRunner loop(sandbox, *this, main_loop);
    ASSERT_TRUE(loop.wait_ready());
    struct stat st {};
    ASSERT_EQ(0, stat(sandbox.path(kControlFifoPath).c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(0666u, st.st_mode & 07777);
    EXPECT_EQ(1, main_flags.running);

    loop.send("END\n");
    EXPECT_EQ(0, loop.finish());
    EXPECT_FALSE(sandbox.exists(kControlFifoPath));
}

TEST_F(MainLoopTest, TicksWriteTheCurrentFileAndKeepGoingAcrossWriterCloses) {
    LoopRunner loop(sandbox, *this, main_loop);
    ASSERT_TRUE(loop.wait_ready());
    for (int i = 0; i < 3000 && !sandbox.exists(kCurrentFilePath); ++i)
        std::this_thread::sleep_for(10ms);
    const std::string current = sandbox.read(kCurrentFilePath);
    EXPECT_NE(std::string::npos, current.find("SetDate=0000/00/00\t"));
    EXPECT_EQ(std::string::npos, current.find("NowDate=0000/00/00\t"));

    // Writers that open, write and close: no end-of-file for the loop.
    for (int i = 1; i <= 3; ++i) {
        const int fd = open(sandbox.path(kControlFifoPath).c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(10, write(fd, "LOG_DELETE", 10));
        close(fd);
        for (int wait = 0; wait < 3000 && count_in_log("ORV Log delete") < i; ++wait)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(i, count_in_log("ORV Log delete"));
    }
    EXPECT_EQ(1, main_flags.running);
    loop.send("END");
    EXPECT_EQ(0, loop.finish());
}

TEST_F(MainLoopTest, HandlesSixHundredBytesAsTwoMessagesOf511And89) {
    LoopRunner loop(sandbox, *this, main_loop);
    ASSERT_TRUE(loop.wait_ready());
    // Only a cut right after byte 511 makes "END" the start of a message.
    std::string message = "LOG_DELETE";
    message.resize(511, ' ');
    message += "END";
    message.resize(600, ' ');
    loop.send(message);
    EXPECT_EQ(0, loop.finish());
    EXPECT_EQ(1, count_in_log("<INF> ORV Log delete\n"));
    EXPECT_EQ(1, count_in_log("<INF> Main Program End\n"));
    EXPECT_EQ(1, main_flags.shutdown);
}

TEST_F(MainLoopTest, ResetThenEndInOneReadOnlyRestarts) {
    LoopRunner loop(sandbox, *this, main_loop);
    ASSERT_TRUE(loop.wait_ready());
    loop.send("RESET\nEND\n");
    EXPECT_EQ(1, loop.finish());
    EXPECT_EQ(0, main_flags.running);
    EXPECT_EQ(0, main_flags.shutdown);
    EXPECT_FALSE(sandbox.exists(kControlFifoPath));
}

// The program run ends with "reboot" and/or "shutdown -h now" as its last
// commands, as the flags say.
class ProgramRunTest : public MainLoopTest {
  protected:
    std::string last_command() const {
        const auto journal = sandbox.journal();
        return journal.empty() ? "" : journal.back();
    }
};

TEST_F(ProgramRunTest, EndPowersOffThroughTheJournal) {
    LoopRunner run(sandbox, *this, orv_run);
    ASSERT_TRUE(run.wait_ready());
    run.send("END");
    EXPECT_EQ(0, run.finish());
    EXPECT_EQ(1, count_in_log("<INF> ----- Main Program Start -----\n"));
    EXPECT_EQ("shutdown -h now", last_command());
    EXPECT_EQ(0, count_of(sandbox.read("/sim/commands.log"), " reboot\n"));
    EXPECT_FALSE(sandbox.exists(kControlFifoPath));
}

TEST_F(ProgramRunTest, ResetStartsASecondPassThenRebootEnds) {
    LoopRunner run(sandbox, *this, orv_run);
    ASSERT_TRUE(run.wait_ready(1));
    run.send("RESET");
    ASSERT_TRUE(run.wait_ready(2));
    EXPECT_EQ(2, count_in_log("<INF> ----- Main Program Start -----\n"));
    run.send("REBOOT");
    EXPECT_EQ(0, run.finish());
    EXPECT_EQ("reboot", last_command());
}

TEST_F(ProgramRunTest, AFifoThatCannotBeMadeEndsTheProgramWithoutPowerOff) {
    sandbox.write(std::string(kControlFifoPath) + "/in-the-way", "");
    EXPECT_EQ(0, orv_run());
    EXPECT_EQ(1, count_in_log("<INF> ----- Main Program Start -----\n"));
    EXPECT_EQ(0, ready_count());
    EXPECT_EQ(0, main_flags.running);
    EXPECT_NE("reboot", last_command());
    EXPECT_NE("shutdown -h now", last_command());
}

} // namespace
