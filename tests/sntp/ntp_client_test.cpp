// NTP client: a good reply's time, timestamp arithmetic, the quiet window, and
// queries on the event timers against tests/e2e/ntp_responder.py on 127.0.0.1.
#include "main/setup_change.h"
#include "os/clock.h"
#include "sandbox.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "sntp/ntp_client.h"
#include "sntp/ntp_packet.h"
#include "timer/event_timer.h"
#include "tot/holdover.h"

#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

using Packet = std::array<uint8_t, 48>;

std::array<uint8_t, 8> stamp(uint32_t seconds, uint32_t fraction) {
    std::array<uint8_t, 8> s{};
    for (int i = 0; i < 8; ++i)
        s[i] = uint8_t((i < 4 ? seconds : fraction) >> (24 - 8 * (i % 4)));
    return s;
}

constexpr uint32_t kSeconds = 3913402023U; // 2024-01-05 00:07:03 UTC in NTP seconds
const auto kOrigin = stamp(kSeconds - 1, 0x12345678);

// A server's reply (mode 4, stratum 2) to the request kOrigin, received at
// hh:mm:02.75 and sent at hh:mm:03.25.
Packet good_reply() {
    Packet p{0x0C, 2};
    for (const auto& [at, s] : {std::pair{24, kOrigin},
                                {32, stamp(kSeconds - 1, 0xC0000000)},
                                {40, stamp(kSeconds, 0x40000000)}})
        std::copy(s.begin(), s.end(), p.begin() + at);
    return p;
}

// A good reply's time; leap 3, stratum 16, no transmit time, 49 bytes, mode 3 refused (all
// refused fields: fuzz/ntp_reply.cpp; those logged: the client tests). Seconds modulo 2^32
// (the era after 2036 follows on), fractions rounded down; half the network delay (round
// trip less the server's hold). No query from 23:55 to 00:06 local time.
TEST(NtpPacket, ReplyTimeTimestampsAndTheQuietWindow) {
    const Packet reply = good_reply();
    NtpReplyTime time{-1, -1};
    EXPECT_EQ(ntp_reply_check(reply.data(), 48, kOrigin.data(), time), 0);
    EXPECT_EQ(std::pair(time.transmit_us, time.hold_us),
              (std::pair<int64_t, int64_t>(1704413223250000, 500000)));
    for (const auto& [from, to, value, size, fault] :
         {std::tuple{0, 1, 0xCC, 48, kNtpUnsynchronised},
          {1, 2, 16, 48, kNtpBadStratum},
          {40, 48, 0, 48, kNtpNoTransmitTime},
          {48, 49, 0, 49, kNtpWrongSize},
          {0, 1, 0x0B, 48, kNtpNotServerReply}}) {
        std::array<uint8_t, 49> bad{};
        std::copy(reply.begin(), reply.end(), bad.begin());
        std::fill(bad.begin() + from, bad.begin() + to, uint8_t(value));
        EXPECT_EQ(ntp_reply_check(bad.data(), size, kOrigin.data(), time), fault) << from;
    }
    EXPECT_EQ(ntp_stamp_to_unix_us(stamp(0, 0x80000000).data()), 2085978496500000);
    EXPECT_EQ(ntp_stamp_to_unix_us(stamp(kSeconds, 42950).data()), 1704413223000010);
    EXPECT_EQ(ntp_time_at_arrival_us({1000000, 3000}, 23000), 1010000);
    for (const auto& [h, m, s, wait] :
         {std::tuple{23, 55, 0, 661u}, {0, 5, 59, 2u}, {0, 6, 0, 0u}, {23, 54, 59, 0u}})
        EXPECT_EQ(ntp_quiet_wait_at(h, m, s), wait) << h << ":" << m;
}

// The tests' SNTP responder while the object lives, sending 2030-01-02 03:04:05.5 UTC.
class Responder {
  public:
    Responder(const Sandbox& sandbox, const std::string& mode) : sandbox_(sandbox) {
        sandbox.write("/sim/ntp/time", "1893553445.5\n");
        set_mode(mode);
        const std::string script = ORV_SOURCE_DIR "/tests/e2e/ntp_responder.py";
        const std::string dir = sandbox.path("/sim/ntp");
        char* argv[] = {const_cast<char*>("python3"), const_cast<char*>(script.c_str()),
                        const_cast<char*>(dir.c_str()), nullptr};
        EXPECT_EQ(posix_spawnp(&pid_, "python3", nullptr, nullptr, argv, environ), 0);
        EXPECT_TRUE(eventually([&] { return sandbox.exists("/sim/ntp/ready"); }));
    }
    ~Responder() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    void set_mode(const std::string& mode) const { sandbox_.write("/sim/ntp/mode", mode); }
    int queries() const { return count(sandbox_.read("/sim/ntp/queries"), "\n"); }

  private:
    const Sandbox& sandbox_;
    pid_t pid_ = 0;
};

// The client planned on the event timers; the due checks stand for seconds.
class NtpClientTest : public SandboxTest {
  protected:
    void SetUp() override {
        // No query from 23:55 to 00:06 local time: near it, a zone twelve hours behind.
        if (ntp_quiet_wait() != 0) set_zone("Etc/GMT+3");
        stop_client();
        timer_table_prepare();
        system_settings.TimeAdjust = 1;
        system_settings.TimeAdjustInt = 3600;
        network_settings = NetworkSettings{};
        IniParseIpAddress("10.0.0.5", network_settings.IP);
        IniParseIpAddress("127.0.0.1", network_settings.NtpServer);
    }
    void TearDown() override {
        stop_client();
        set_zone("Asia/Tokyo");
    }
    static void set_zone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    static void stop_client() {
        system_settings.TimeAdjust = 0;
        ntp_client_restart();
    }

    // One second of the client: a due check, then the reply taken when one comes.
    static void second() {
        timer_due_check();
        pollfd p{ntp_client_socket(), POLLIN, 0};
        if (p.fd >= 0 && poll(&p, 1, 5000) == 1) ntp_client_receive();
    }

    int clock_settings() const { return count(sandbox.read("/sim/commands.log"), " date -s "); }
};

// A good answer sets the clocks and the next query follows the interval; a
// refused reply or server fails once and is retried after the interval, at most 300 s.
TEST_F(NtpClientTest, QueriesFollowTheIntervalAndFailuresAreLoggedOnce) {
    // Mode, server, interval, seconds, the seconds of the queries, the reason.
    const std::tuple<const char*, const char*, uint32_t, int, std::vector<int>, const char*>
        cases[] = {
            {"good", "127.0.0.1", 5, 11, {1, 6, 11}, nullptr},
            {"zeros", "127.0.0.1", 100, 201, {1, 101, 201}, "not a server reply"},
            {"kod", "127.0.0.1", 3600, 301, {1, 301}, "kiss-o'-death RATE"},
            {"originate", "127.0.0.1", 100, 1, {1}, "not the reply to our query"},
            {"short", "127.0.0.1", 100, 1, {1}, "reply of 47 bytes"},
            {"late", "127.0.0.1", 100, 1, {1}, "no reply"},
            {"good", "0.0.0.0", 100, 101, {}, "no server set"},
            {"good", "10.0.0.5", 100, 1, {}, "the unit's own address"},
            {"good", "127.0.0.1", 100, 1, {1}, "a time before the program's build date"},
        };
    Responder server(sandbox, "good");
    for (const auto& [mode, server_address, interval, seconds, queries, reason] : cases) {
        const std::string line = "<ERR> NTP query to " +
                                 (reason ? server_address + std::string(" failed: ") + reason : "");
        clock_floor_set(reason && contains(reason, "build") ? 1893628800 : kTestsClockFloor);
        stop_client();
        system_settings.TimeAdjust = 1;
        system_settings.TimeAdjustInt = interval;
        IniParseIpAddress(server_address, network_settings.NtpServer);
        server.set_mode(mode);
        std::vector<int> at; // the seconds (1-based) at which the responder got a query
        const int before = server.queries();
        capture_stdout([&] {
            ntp_client_restart();
            ntp_client_restart(); // unchanged settings change nothing
            for (int check = 1; check <= seconds; ++check) {
                const int seen = server.queries();
                second();
                if (server.queries() != seen) at.push_back(check);
            }
        });
        EXPECT_EQ(at, queries) << line;
        EXPECT_EQ(server.queries() - before, int(at.size())) << line;
        EXPECT_EQ(sandbox.log_count(line + "\n"), reason ? 1 : 0) << line;
    }
    clock_floor_set(kTestsClockFloor);
    EXPECT_EQ(sandbox.log_count("NTP query"), 8);
    EXPECT_EQ(clock_settings(), 3); // the good answers only
}

// A setup change of the system file plans the client anew. A query without reply
// ends in the second due check after it, logged once a failure period: after a
// good answer, the next silent one is logged again.
TEST_F(NtpClientTest, SetupChangeStartsTheClientAndASilentServerEndsAsNoReply) {
    stop_client();
    sandbox.write("/var/kelvatro/conf/ORV_System.ini",
                  "[ORVSystem]\nVersion=01000004\nTimeAdjust=1\nTimeAdjustInt=5\n");
    Responder server(sandbox, "silent");
    char message[] = "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_System.ini\n";
    capture_stdout([&] { HandleSetupChange(message); });
    timer_due_check(); // the query goes out and the due check returns at once
    ASSERT_TRUE(eventually([&] { return server.queries() == 1; }));
    timer_due_check();
    EXPECT_GE(ntp_client_socket(), 0);
    timer_due_check();
    EXPECT_EQ(ntp_client_socket(), -1);
    server.set_mode("good");
    for (int check = 4; check <= 6; ++check)
        second();
    EXPECT_EQ(clock_settings(), 1);
    server.set_mode("silent");
    for (int check = 7; check <= 13; ++check)
        timer_due_check();
    EXPECT_EQ(sandbox.log_count("<ERR> NTP query to 127.0.0.1 failed: no reply\n"), 2);
}

// While the unit keeps broadcast time only the broadcast sets the clock: good
// answers are refused, one line an episode with its count; without broadcast
// time an answer sets the clock again.
TEST_F(NtpClientTest, NoClockSetWhileTheUnitKeepsBroadcastTime) {
    Responder server(sandbox, "good");
    system_settings.TimeAdjustInt = 1;
    system_settings.SystemInfo = kTotFunctionBit;
    holdover = HoldoverState{};
    holdover_take();
    capture_stdout([&] {
        ntp_client_restart();
        for (int check = 1; check <= 3; ++check)
            second();
        system_settings.SystemInfo = 0;
        second();
    });
    EXPECT_EQ(clock_settings(), 1);
    const std::string refused =
        "Clock not set from NTP server 127.0.0.1: the unit keeps broadcast time\n";
    EXPECT_EQ(sandbox.log(), " <ERR> " + refused + " <ERR> Repeated 2 more times: " + refused);
}

} // namespace
