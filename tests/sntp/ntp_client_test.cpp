// NTP client: the quiet window, one query against a UDP responder on
// 127.0.0.1 port 123, and the planning of queries on the event timers.
#include "main/setup_change.h"
#include "sandbox.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "sntp/ntp_client.h"
#include "timer/event_timer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Transmit seconds of 2024-01-05 00:07:03 UTC, 09:07:03 in Tokyo.
constexpr uint32_t kTransmit = 3913402023U;

// A server on 127.0.0.1:123 that counts requests and answers each with a
// datagram of the configured size (none: silent) carrying the transmit seconds.
class Responder {
  public:
    Responder(size_t reply_size, uint32_t transmit) : reply_size_(reply_size), transmit_(transmit) {
        sockaddr_in addr{
            .sin_family = AF_INET, .sin_port = htons(123), .sin_addr = {}, .sin_zero = {}};
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Other tests may hold the port for a moment.
        for (int tries = 0; bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0;
             ++tries) {
            if (errno != EADDRINUSE || tries == 600) {
                ADD_FAILURE() << "cannot bind 127.0.0.1:123";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~Responder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }

    std::atomic<int> requests{0};
    std::atomic<bool> requests_well_formed{true};

  private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            std::array<uint8_t, 512> request{};
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            if (poll(&p, 1, 20) <= 0 ||
                recvfrom(fd_, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         &from_len) != 48)
                continue;
            if (request[0] != 0x0B || std::any_of(request.begin() + 1, request.begin() + 48,
                                                  [](uint8_t b) { return b != 0; }))
                requests_well_formed = false;
            ++requests;
            if (reply_size_ == 0) continue;
            std::vector<uint8_t> reply(reply_size_, 0);
            reply[0] = 0x1C;
            for (size_t i = 0; i < 4 && 40 + i < reply_size_; ++i)
                reply[40 + i] = static_cast<uint8_t>(transmit_ >> (24 - 8 * i));
            sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   from_len);
        }
    }

    int fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    size_t reply_size_;
    uint32_t transmit_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(NtpQuietWait, WindowAroundMidnightEndsAt000601) {
    EXPECT_EQ(ntp_quiet_wait_at(23, 58, 30), 451u);
    EXPECT_EQ(ntp_quiet_wait_at(0, 3, 0), 181u);
    EXPECT_EQ(ntp_quiet_wait_at(23, 55, 0), 661u);
    EXPECT_EQ(ntp_quiet_wait_at(0, 5, 59), 2u);
    EXPECT_EQ(ntp_quiet_wait_at(0, 6, 0), 0u);
    EXPECT_EQ(ntp_quiet_wait_at(23, 54, 59), 0u);
}

using NtpQueryTest = SandboxTest;

TEST_F(NtpQueryTest, ReplyOf48BytesGivesUnixTimeModulo2To32) {
    for (const auto& [transmit, expected] :
         {std::pair{kTransmit, 1704413223u}, {2208988800U, 0u}, {0u, 2085978496u}}) {
        Responder server(48, transmit);
        uint32_t unix_time = 1;
        EXPECT_EQ(ntp_client_main("127.0.0.1", &unix_time), 0);
        EXPECT_EQ(unix_time, expected);
        EXPECT_EQ(server.requests, 1);
        EXPECT_TRUE(server.requests_well_formed);
    }
}

TEST_F(NtpQueryTest, WrongSizeOrNoReplyFails) {
    for (const size_t size : {47, 68, 0}) {
        Responder server(size, kTransmit);
        uint32_t unix_time = 7;
        const std::string out = capture_stdout(
            [&] { EXPECT_EQ(ntp_client_main("127.0.0.1", &unix_time), size ? -4 : -2); });
        EXPECT_EQ(out, size ? "<Error> NTP Recv : size=" + std::to_string(size) + "byte\n" : "");
        EXPECT_EQ(unix_time, 7u);
        EXPECT_EQ(server.requests, 1);
    }
}

// The client planned on the event timers; the due checks stand for seconds.
class NtpPlanTest : public SandboxTest {
  protected:
    void SetUp() override {
        // The client plans no query from 23:55 to 00:06 local time: near
        // Japan's midnight these tests run in a zone twelve hours behind.
        if (ntp_quiet_wait() != 0) {
            setenv("TZ", "Etc/GMT+3", 1);
            tzset();
        }
        timer_table_prepare();
        system_settings.TimeAdjust = 0;
        ntp_client_restart(); // forgets the plan of an earlier test
        system_settings.TimeAdjust = 1;
        system_settings.TimeAdjustInt = 3600;
        IniParseIpAddress("127.0.0.1", network_settings.NtpServer);
    }

    void TearDown() override {
        setenv("TZ", "Asia/Tokyo", 1);
        tzset();
    }

    // The due checks (1-based) at which the server got a query, out of n.
    static std::vector<int> queries_at(const Responder& server, int n) {
        std::vector<int> at;
        for (int check = 1; check <= n; ++check) {
            const int before = server.requests;
            timer_due_check();
            if (server.requests != before) at.push_back(check);
        }
        return at;
    }

    // The clock setting for kTransmit (2024-01-05 00:07:03 UTC) in the test's zone.
    static std::string date_command() {
        const bool tokyo = std::string(getenv("TZ")) == "Asia/Tokyo";
        return tokyo ? "date -s \"2024-01-05 09:07:03\"" : "date -s \"2024-01-04 21:07:03\"";
    }

    bool journal_has(const std::string& line) const {
        const auto j = sandbox.journal();
        return std::find(j.begin(), j.end(), line) != j.end();
    }
};

TEST_F(NtpPlanTest, AnswerSetsTheClocksAndTheNextQueryFollowsTheInterval) {
    system_settings.TimeAdjustInt = 5;
    Responder server(48, kTransmit);
    ntp_client_restart();
    ntp_client_restart(); // unchanged settings change nothing
    EXPECT_EQ(server.requests, 0);
    EXPECT_EQ(queries_at(server, 11), (std::vector<int>{1, 6, 11}));
    const auto journal = sandbox.journal();
    const auto date = std::find(journal.begin(), journal.end(), date_command());
    ASSERT_NE(date, journal.end());
    EXPECT_EQ(*(date + 1), "hwclock -wu");
}

TEST_F(NtpPlanTest, FailedQueryRetriesAfterTheIntervalButAtMost300) {
    for (const auto& [interval, retry] : {std::pair{100u, 101}, {3600u, 301}}) {
        timer_table_prepare();
        ntp_client_schedule(0);
        system_settings.TimeAdjustInt = interval;
        Responder server(0, 0);
        ntp_client_restart();
        EXPECT_EQ(queries_at(server, retry), (std::vector<int>{1, retry})) << interval;
    }
    EXPECT_FALSE(journal_has("hwclock -wu"));
}

TEST_F(NtpPlanTest, OtherTimeSourceStopsAndNtpAgainRestarts) {
    system_settings.TimeAdjustInt = 10;
    Responder server(48, kTransmit);
    ntp_client_restart();
    system_settings.TimeAdjust = 0;
    ntp_client_restart();
    // The immediate query still runs but finds NTP deselected.
    EXPECT_TRUE(queries_at(server, 25).empty());
    system_settings.TimeAdjust = 1;
    ntp_client_restart();
    EXPECT_EQ(queries_at(server, 1), (std::vector<int>{1}));
}

TEST_F(NtpPlanTest, SetupChangesOfNetworkAndSystemFilesStartTheClient) {
    system_settings.TimeAdjust = 0;
    network_settings = NetworkSettings{};
    sandbox.write("/var/kelvatro/conf/ORV_Network.ini",
                  "[ORVNetwork]\nIP=10.0.0.5\nNtpServer=127.0.0.1\t; ours\n");
    sandbox.write("/var/kelvatro/conf/ORV_System.ini",
                  "[ORVSystem]\nVersion=01000004\nTimeAdjust=1\nTimeAdjustInt=60\n");
    Responder server(48, kTransmit);
    capture_stdout([] {
        char network[] = "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_Network.ini\n";
        HandleSetupChange(network);
        char system[] = "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_System.ini\n";
        HandleSetupChange(system);
    });
    capture_stdout([] { timer_due_check(); });
    EXPECT_EQ(server.requests, 1);
    EXPECT_TRUE(journal_has(date_command()));
}

} // namespace
