// The main loop and the program run, driven through the control FIFO from the
// test thread while the loop runs on a thread of its own.
#include "main/main_loop.h"

#include "main_fixture.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

// Polls until the condition holds; false after 30 seconds.
template <typename P> bool eventually(P condition) {
    for (int i = 0; i < 3000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Runs main_loop or orv_run on a thread of its own; an unfinished run is ended
// with "END".
class LoopRunner {
  public:
    LoopRunner(const Sandbox& sandbox, std::function<int()> run)
        : sandbox_(sandbox), thread_([this, run] {
              result_ = run();
              done_ = true;
          }) {}
    ~LoopRunner() {
        if (!done_) send("END");
        thread_.join();
    }

    // Waits for the given number of "Main Program Ready" lines.
    bool ready(int passes = 1) {
        return eventually([&] { return count_in_log(sandbox_, "Main Program Ready\n") >= passes; });
    }

    // Once the pass is ready, writes one text into the control FIFO as a writer
    // that then closes it.
    void send(std::string_view text, int pass = 1) {
        ASSERT_TRUE(ready(pass));
        int fd = -1;
        ASSERT_TRUE(eventually([&] {
            return (fd = open(sandbox_.path(kControlFifoPath).c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
        }));
        EXPECT_EQ(ssize_t(text.size()), write(fd, text.data(), text.size()));
        close(fd);
    }

    // The run's result once it has ended.
    int finish() {
        EXPECT_TRUE(eventually([&] { return done_.load(); })) << "the loop did not end";
        return result_;
    }

  private:
    const Sandbox& sandbox_;
    std::atomic<bool> done_{false};
    int result_ = -99;
    std::thread thread_;
};

std::string last_command(const Sandbox& sandbox) {
    const auto journal = sandbox.journal();
    return journal.empty() ? "" : journal.back();
}

TEST_F(MainTest, TicksWriteTheCurrentFileAndKeepGoingAcrossWriterCloses) {
    LoopRunner loop(sandbox, main_loop);
    // The tick rewrites the file in place: wait for a whole one.
    std::string current;
    ASSERT_TRUE(eventually([&] {
        current = sandbox.read(kCurrentFilePath);
        return current.ends_with("0F=0000\n");
    }));
    EXPECT_NE(std::string::npos, current.find("SetDate=0000/00/00\t"));
    EXPECT_EQ(std::string::npos, current.find("NowDate=0000/00/00\t"));

    for (int i = 1; i <= 3; ++i) {
        loop.send("LOG_DELETE");
        ASSERT_TRUE(eventually([&] { return count_in_log("ORV Log delete") == i; }));
    }
    EXPECT_EQ(1, main_flags.running);
    loop.send("END");
    EXPECT_EQ(0, loop.finish());
}

TEST_F(MainTest, HandlesSixHundredBytesAsTwoMessagesOf511And89) {
    LoopRunner loop(sandbox, main_loop);
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

TEST_F(MainTest, ResetThenEndInOneReadOnlyRestarts) {
    LoopRunner loop(sandbox, main_loop);
    loop.send("RESET\nEND\n");
    EXPECT_EQ(1, loop.finish());
    EXPECT_EQ(0, main_flags.running);
    EXPECT_EQ(0, main_flags.shutdown);
    EXPECT_FALSE(sandbox.exists(kControlFifoPath));
}

// The program run ends with "reboot" and/or "shutdown -h now" as its last
// commands, as the flags say.
TEST_F(MainTest, RunMakesTheFifoAnewOverALeftoverAndEndPowersOff) {
    ASSERT_EQ(0, mkfifo(sandbox.path(kControlFifoPath).c_str(), 0600));
    LoopRunner run(sandbox, orv_run);
    ASSERT_TRUE(run.ready());
    struct stat st {};
    ASSERT_EQ(0, stat(sandbox.path(kControlFifoPath).c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(0666u, st.st_mode & 07777);

    run.send("END\n");
    EXPECT_EQ(0, run.finish());
    EXPECT_EQ(1, count_in_log("<INF> ----- Main Program Start -----\n"));
    EXPECT_EQ("shutdown -h now", last_command(sandbox));
    EXPECT_EQ(0, count(sandbox.read("/sim/commands.log"), " reboot\n"));
    EXPECT_FALSE(sandbox.exists(kControlFifoPath));
}

TEST_F(MainTest, RunResetStartsASecondPassThenRebootEnds) {
    LoopRunner run(sandbox, orv_run);
    run.send("RESET");
    run.send("REBOOT", 2);
    EXPECT_EQ(2, count_in_log("<INF> ----- Main Program Start -----\n"));
    EXPECT_EQ(0, run.finish());
    EXPECT_EQ("reboot", last_command(sandbox));
}

// Makes every open with O_RDWR | O_NONBLOCK (the control FIFO's, nothing else
// of a pass) fail with EMFILE, on the calling thread only. False where no
// filter can be set (qemu's user emulation refuses them).
bool refuse_fifo_open_on_this_thread() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, O_ACCMODE | O_NONBLOCK),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, O_RDWR | O_NONBLOCK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The pass ends at once: -1 when the FIFO cannot be made, -2 when it cannot be
// opened (the FIFO made stays); the program ends without reboot or power-off.
TEST_F(MainTest, RunWithAFifoThatCannotBeMadeOrOpenedEndsWithoutPowerOff) {
    for (const int expected : {-1, -2}) {
        SCOPED_TRACE(expected);
        sandbox.remove(kControlFifoPath);
        if (expected == -1) sandbox.write(std::string(kControlFifoPath) + "/in-the-way", "");
        int loop_result = 0, run_result = 1;
        bool filtered = true;
        std::thread([&] {
            if (expected == -2 && !(filtered = refuse_fifo_open_on_this_thread())) return;
            loop_result = main_loop();
            run_result = orv_run();
        }).join();
        if (!filtered) GTEST_SKIP() << "no seccomp filter here";
        EXPECT_EQ(expected, loop_result);
        EXPECT_EQ(0, run_result);
        EXPECT_EQ(1, count_in_log("----- Main Program Start -----"));
        EXPECT_EQ(0, count_in_log("Main Program Ready"));
        EXPECT_EQ(0, main_flags.running);
        EXPECT_EQ(0, count(sandbox.read("/sim/commands.log"), "reboot"));
        EXPECT_EQ(0, count(sandbox.read("/sim/commands.log"), "shutdown"));
        EXPECT_EQ(expected == -2, std::filesystem::is_fifo(sandbox.path(kControlFifoPath)));
        sandbox.remove("/var/www/StatusLog.txt");
    }
}

} // namespace
