// The main loop and the program run, driven through the control FIFO from the
// test thread while the loop runs on a thread of its own.
#include "main/main_loop.h"

#include "board/fpga_device.h"
#include "fake_unit_clock.h"
#include "main/fifo_framing.h"
#include "main/unit_state.h"
#include "main_fixture.h"
#include "os/clock.h"
#include "os/deploy_settings.h"
#include "settings/network_file.h"

#include <atomic>
#include <fstream>
#include <future>
#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

// Runs main_loop or orv_run on a thread of its own; an unfinished run is ended
// with "END".
struct LoopRunner {
    const Sandbox& sandbox;
    std::future<int> run;

    LoopRunner(const Sandbox& s, int (*f)()) : sandbox(s), run(std::async(std::launch::async, f)) {}
    ~LoopRunner() {
        if (run.valid() && !done()) send("END");
    }
    bool done() const { return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

    // Waits for the "Main Program Ready" line.
    bool ready() const {
        return eventually([&] { return sandbox.log_count("Main Program Ready\n") > 0; });
    }

    // Once the pass is ready, writes one text into the control FIFO as a writer
    // that then closes it.
    void send(std::string_view text) {
        ASSERT_TRUE(ready());
        int fd = -1;
        ASSERT_TRUE(eventually([&] {
            return (fd = open(sandbox.path(kControlFifoPath).c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
        }));
        EXPECT_EQ(ssize_t(text.size()), write(fd, text.data(), text.size()));
        close(fd);
    }

    // The run's result once it has ended.
    int finish() {
        EXPECT_TRUE(eventually([&] { return done(); })) << "the loop did not end";
        return done() ? run.get() : -99;
    }
};

// The ticks, counted by a repeating event timer (the tick runs the due check).
std::atomic<int> ticks{0};

// Writers that keep a FIFO of 1 MiB full hold neither the ticks back nor the
// end of the pass.
TEST_F(MainTest, AFloodOfMessagesHoldsNeitherTheTicksNorTheEndBack) {
    FakeUnitClock clock; // the counts of the lines held back go to this test's log
    pace_set_tick_ms(200);
    add_interval_event(TimerCallback{[](uintptr_t, uintptr_t) { ++ticks; }, 0, 0}, 1, 1);
    LoopRunner loop(sandbox, main_loop);
    ASSERT_TRUE(loop.ready());
    std::atomic<bool> flooding = true;
    const auto flood = [&] {
        const int fd = open(sandbox.path(kControlFifoPath).c_str(), O_WRONLY | O_CLOEXEC);
        fcntl(fd, F_SETPIPE_SZ, 1 << 20);
        std::string lines;
        while (lines.size() < 65536)
            lines += "flood\n";
        while (flooding)
            EXPECT_EQ(ssize_t(lines.size()), write(fd, lines.data(), lines.size()));
        close(fd);
    };
    std::thread writers[] = {std::thread(flood), std::thread(flood)};
    const int before = ticks;
    EXPECT_TRUE(eventually([&] { return ticks > before + 3; }));
    flooding = false;
    for (std::thread& writer : writers)
        writer.join();
    std::ofstream(sandbox.path(kControlFifoPath)) << "END\n"; // waits for room, unlike send()
    loop.finish();
}

// After an overrun of more than a tick: the grid's next point, never at once.
TEST(MainTick, AfterAnOverrunTheNextTickKeepsTheGrid) {
    for (const auto& [now, next] : {std::pair{1500, 2000}, {3500, 4000}, {4000, 5000}})
        EXPECT_EQ(next_deadline(1000, now, 1000), next) << now;
}

TEST(SplitFifoMessages, ALineBeginningWithACommandWordBeginsAMessage) {
    const std::tuple<std::string, bool, Lines> cases[] = {
        {"", true, {}},
        {"[SetupChange]\r\nFileName=a\r\nEND\n",
         true,
         {"[SetupChange]\r\nFileName=a\r\n", "END\n"}},
        {"junk\n\nLOG_DELETE", true, {"junk\n\n", "LOG_DELETE"}},
        {"RESETEND\n reg\n", true, {"RESETEND\n reg\n"}},
        {"reg 1\nreg 2\n[SetupCh", false, {"reg 1\n"}},
        {"[SetupChange]\nFile", false, {}},
    };
    for (const auto& [text, complete, expected] : cases) {
        Lines messages; // their order and extent on any text: fuzz/fifo_messages.cpp
        for (const FifoMessage& m : split_fifo_messages(text, complete).messages)
            messages.emplace_back(m.text);
        EXPECT_EQ(messages, expected) << text;
    }
    for (const size_t size : {511, 512}) { // the longest message handled has 511 bytes
        const std::string text = "reg" + std::string(size - 4, ' ') + "\n";
        EXPECT_EQ(split_fifo_messages(text, true).messages.at(0).too_long, size == 512);
    }
    // A shell's printf writes a setup change line by line.
    EXPECT_TRUE(fifo_text_awaits_file_name("reg 1\n[SetupChange]\r\n"));
    EXPECT_FALSE(fifo_text_awaits_file_name("[SetupChange]\nFileName=a\n"));
    EXPECT_FALSE(fifo_text_awaits_file_name("[SetupChange]\nFileName=a\nEND\n"));
}

// In one write: a message too long to handle, a restart, and messages after it,
// kept for the next pass. Of the commands that end a pass, each is taken once
// from what waited: its further copies are dropped with their count. The second
// pass ends at RESET, the third at END; what follows the end is dropped, each
// run of drops logged once.
TEST_F(MainTest, MessagesTooLongOrAfterTheEndOfThePassAreReportedAndDropped) {
    LoopRunner loop(sandbox, main_loop);
    // 600 bytes, with a command word at 511.
    const std::string message =
        "LOG_DELETE" + std::string(501, ' ') + "END" + std::string(85, ' ') + "\n";
    std::string resets; // beyond the first read: in the FIFO when the pass ends
    for (int i = 0; i < 700; ++i)
        resets += "RESET\n";
    loop.send(message + "RESET\n" + resets + "END\nRESET\nEND\x1b[2J\tx\r\nreg 0\nreg 1\n");
    EXPECT_EQ(1, loop.finish());
    EXPECT_TRUE(sandbox.exists(kControlFifoPath));
    EXPECT_TRUE(contains(sandbox.read(kStateFilePath), "\nReason=restarting\t"));
    EXPECT_EQ(1, LoopRunner(sandbox, main_loop).finish());
    EXPECT_EQ(0, LoopRunner(sandbox, main_loop).finish());
    Lines logged = sandbox.log_lines();
    std::erase(logged, " <INF> eth0 link-up\n"); // the first tick's, whenever it came
    const std::string dropped = " <ERR> Control message dropped, the pass has ended: reg 0\n";
    EXPECT_EQ(logged,
              (Lines{" <INF> Main Program Ready\n",
                     " <ERR> Control message of 600 bytes dropped: longer than 511 bytes\n",
                     " <INF> Main Program Reset\n", " <INF> Main Program Ready\n",
                     " <ERR> Control message taken once, 1 more copies dropped: END\\x1B[2J\\tx\n",
                     " <ERR> Control message taken once, 700 more copies dropped: RESET\n",
                     " <INF> Main Program Reset\n", " <INF> Main Program Ready\n",
                     " <INF> Main Program End\n", dropped,
                     " <ERR> Repeated 1 more times:" + dropped.substr(6)}));
    EXPECT_FALSE(sandbox.exists(kControlFifoPath));
}

// A flood of every kind of line that writers of the FIFO can cause at will,
// each kind among the others, with setup changes of files that did not change:
// each kind logs a line a second (its others counted), each file is applied
// once a second, and the log grows by less than a quarter of its eight files
// (its history) a minute. A pass a second, ended by END.
TEST_F(MainTest, AMixedFloodLogsLessThanAQuarterOfTheHistoryAMinute) {
    FakeUnitClock clock;
    clock_floor_set(1956528000); // 2032-01-01: the set date is refused
    sandbox.write(kSystemFilePath, "[ORVSystem]\nUnitName=U\n");
    sandbox.write(kNetworkFilePath,
                  "[ORVNetwork]\nIP=10.1.2.3\nNetMask=255.255.255.0\nGateway=10.1.2.1\n");
    const std::string current = "/var/kelvatro/conf/ORV_Current.edit.ini";
    sandbox.write(current, "[ORVCurrent]\nSetDate=2031/02/03\n");
    std::string kinds = "reg ff00 1\niic 0 50 FF 0\nLOG_DELETE\nreg" + std::string(600, ' ') +
                        "\niic 0 50 10 0 1 2 3 4 5 6 7 8 9 a b c d e f 10\n";
    for (const std::string& name :
         Lines{"/var/kelvatro/conf/" + std::string(90, 'n') + "/ORV_System.ini", kSystemFilePath,
               kNetworkFilePath, current})
        kinds += "[SetupChange]\nFileName=" + name + "\n";
    std::string flood = "junk\n"; // a message that begins no command, as the first of a read
    for (int i = 0; i < 20; ++i)
        flood += kinds;
    constexpr int kSeconds = 4;
    ASSERT_EQ(0, FpgaOpen());
    capture_stdout([&] {
        for (int second = 0; second < kSeconds; ++second, clock.advance_seconds(1)) {
            LoopRunner loop(sandbox, main_loop);
            loop.send(flood + "END\n");
            loop.finish();
        }
    });
    FpgaClose();
    clock_floor_set(kTestsClockFloor);
    const std::string log = sandbox.read("/var/www/StatusLog.txt");
    EXPECT_LT(log.size() * 60 / kSeconds, 2 * 131072u) << log;
    EXPECT_EQ(sandbox.journaled("route del default"), kSeconds);
    const std::string read = "reg (r) : addr=0000FF00, data=00000001\n";
    EXPECT_EQ(sandbox.log_count(read), kSeconds);
    EXPECT_EQ(sandbox.log_count(" <DEBUG> Held back 20 more like: " + read), kSeconds - 2);
    EXPECT_EQ(sandbox.log_count("Unknown control message ignored: junk\n"), kSeconds);
}

// The files shared with the web front end and the FIFO are open to everyone,
// only to the group that ORV_GROUP names (also those not rewritten), or to
// root alone when it names no group; the FIFO is made anew over a leftover
// one. The files root's daemons obey (and their copies under /etc) are root's,
// readable by all, whatever ORV_GROUP says: one found writable is reported.
TEST_F(MainTest, SharedFilesBelongToTheGroupThatOrvGroupNames) {
    const group* other = getgrgid(1);
    if (!other || getegid() != 0) GTEST_SKIP() << "needs root and a group of id 1";
    static int runs = 0; // an unknown name is reported once a process: a new one each run
    const std::string unknown = "no-such-group" + std::to_string(++runs);
    // ORV_GROUP, the modes of the shared files, the FIFO and the state file, the group.
    const std::tuple<std::string, mode_t, mode_t, mode_t, gid_t> cases[] = {
        {"", 0666, 0622, 0644, 0},
        {other->gr_name, 0660, 0620, 0640, 1},
        {unknown, 0644, 0600, 0644, 0}};
    const char* kept[] = {"/var/kelvatro/conf/ntp.conf", "/usr/kelvatro/conf/dhcpcd.conf",
                          "/usr/kelvatro/conf/ORV_Network.ini"};
    for (const auto& [name, file_mode, fifo_mode, state_mode, gid] : cases) {
        sandbox.write(kDeploySettingsPath, "ORV_GROUP=" + name + "\n");
        deploy_settings_reload();
        for (const char* path : {kSystemFilePath, "/usr/kelvatro/conf/ORV_System.ini",
                                 kCurrentFilePath, kStateFilePath})
            sandbox.remove(path);
        unit_state_reset(); // the state file is written anew
        for (const char* path : kept) {
            sandbox.write(path, "");
            chmod(sandbox.path(path).c_str(), name.empty() ? 0666 : 0606);
        }
        ASSERT_EQ(0, mkfifo(sandbox.path(kControlFifoPath).c_str(), 0600));
        LoopRunner run(sandbox, orv_run);
        ASSERT_TRUE(eventually([&] { return sandbox.exists(kStateFilePath); })); // after Current
        for (const char* path : {kControlFifoPath, kCurrentFilePath, kFunctionFilePath,
                                 kSystemFilePath, "/usr/kelvatro/conf/ORV_System.ini", kept[0],
                                 kept[1], kept[2], "/etc/dhcpcd.conf", kStateFilePath}) {
            struct stat st {};
            ASSERT_EQ(0, stat(sandbox.path(path).c_str(), &st)) << path;
            const bool daemons = std::string(path).ends_with(".conf");
            EXPECT_EQ(st.st_mode & 07777, daemons                    ? 0644
                                          : path == kControlFifoPath ? fifo_mode
                                          : path == kStateFilePath   ? state_mode
                                                                     : file_mode)
                << name << " " << path;
            EXPECT_EQ(st.st_gid, daemons ? 0 : gid) << name << " " << path;
        }
    }
    EXPECT_EQ(1, sandbox.log_count("<ERR> ORV_GROUP names no group: " + unknown +
                                   "; shared files kept for root\n"));
    EXPECT_EQ(sandbox.log_count("<ERR> /var/kelvatro/conf/ntp.conf was writable by others than "
                                "root (mode 0666): now 0644 root\n"),
              1);
    EXPECT_EQ(sandbox.log_count(" was writable by others than root (mode 0606): now 0644 root\n"),
              4);
}

// Under a service manager (NOTIFY_SOCKET) the pass says that it is ready, each
// tick pings the watchdog, and an update, whose scripts take minutes, asks for
// an hour before the next ping.
TEST_F(MainTest, ThePassTellsTheServiceManagerReadyTicksAndAnUpdatesHour) {
    const std::string path = sandbox.path("/notify");
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(0, bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address));
    const timeval patience{30, 0}; // a message that never comes fails the test
    setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    const auto next_message = [&] {
        char text[64] = "";
        const ssize_t length = recv(manager, text, sizeof text - 1, 0);
        return std::string(text, size_t(std::max<ssize_t>(length, 0)));
    };
    LoopRunner loop(sandbox, main_loop);
    EXPECT_EQ(next_message(), "READY=1");
    EXPECT_EQ(next_message(), "WATCHDOG=1");
    loop.send("[UpLoad]\n");
    std::string message;
    while ((message = next_message()) == "WATCHDOG=1") {
    }
    EXPECT_EQ(message, "WATCHDOG_USEC=3600000000");
    EXPECT_EQ(0, loop.finish());
    unsetenv("NOTIFY_SOCKET");
    close(manager);
}

// Without its directory the FIFO cannot be made (-1): the pass ends at once,
// and the program with it, neither rebooting nor powering off.
TEST_F(MainTest, AFifoThatCannotBeMadeEndsThePass) {
    deploy_setting("ORV_GROUP", ""); // the deployment settings, loaded at start as in a run
    sandbox.remove("/var/kelvatro");
    EXPECT_EQ(-1, main_loop());
    EXPECT_EQ(0, orv_run());
    EXPECT_EQ(1, sandbox.log_count("----- Main Program Start -----"));
    EXPECT_EQ(0, sandbox.log_count("Main Program Ready"));
    const std::string journal = sandbox.read("/sim/commands.log");
    EXPECT_EQ(0, count(journal, "reboot") + count(journal, "shutdown"));
}

} // namespace
