// The SNTP client: plans its queries on the event timers, sends each query from
// the timer callback without waiting, takes the reply when the main loop finds
// its socket readable, and sets the clocks from a reply that passes the checks,
// unless the unit keeps broadcast time, which alone sets them then.
#include "sntp/ntp_client.h"

#include "log/status_log.h"
#include "os/clock.h"
#include "os/pace.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "sntp/ntp_packet.h"
#include "timer/event_timer.h"
#include "tot/clock_authority.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr uint16_t kNtpPort = 123;
constexpr uint32_t kRetryLimit = 300;
constexpr unsigned kReplyWaitMs = 1000;
// Due checks after the send at which a query still without reply is ended: at
// least one tick, so never before the reply wait is over.
constexpr uint32_t kExpiryChecks = 2;
constexpr uint32_t kNoTimer = 0xFFFFFFFF;

// Failures besides those of the reply itself (ntp_packet.h).
enum : int {
    kNtpSocketError = -1,
    kNtpNoReply = -2,
    kNtpReceiveError = -3,
    kNtpNoServer = -11,
    kNtpOwnAddress = -12,
    kNtpBeforeBuild = -13,
};

// The interval and server of the last plan, and the timer of the next query.
uint32_t planned_interval = 0;
std::array<uint8_t, 4> planned_server{};
int32_t pending_timer = -1;

// The query waiting for its reply: its socket (-1: none), the transmit
// timestamp the reply must echo, when and in which due check it was sent, the
// timer that ends it without reply, and the server as the status log names it.
struct Query {
    int fd = -1;
    uint8_t transmit[kNtpStampSize] = {};
    int64_t sent_us = 0;
    uint64_t sent_in_check = 0;
    uint32_t expiry_timer = kNoTimer;
    char server[16] = {};
};
Query query;

// Set once a failure is logged, cleared by a success: one line a failure period.
bool failure_logged = false;
// Good replies not set while the unit keeps broadcast time: one line an episode.
LogRepeat refused_while_kept;

bool ntp_selected() {
    return system_settings.TimeAdjust == 1;
}

uint32_t retry_interval() {
    return std::min(system_settings.TimeAdjustInt, kRetryLimit);
}

uint32_t register_query(uint32_t count) {
    return add_interval_event(TimerCallback{ntp_client_event, 0, 0}, count, 0);
}

void clear_plan() {
    planned_interval = 0;
    planned_server = {};
    failure_logged = false;
}

void end_query() {
    if (query.fd < 0) return;
    close(query.fd);
    query.fd = -1;
    if (query.expiry_timer != kNoTimer) delete_event(query.expiry_timer);
    query.expiry_timer = kNoTimer;
}

constexpr std::pair<int, const char*> kFailureTexts[] = {
    {kNtpNoServer, "no server set"},
    {kNtpOwnAddress, "the unit's own address"},
    {kNtpSocketError, "socket error"},
    {kNtpNoReply, "no reply"},
    {kNtpReceiveError, "receive error"},
    {kNtpNotServerReply, "not a server reply"},
    {kNtpWrongOriginate, "not the reply to our query"},
    {kNtpUnsynchronised, "server not synchronised"},
    {kNtpNoTransmitTime, "no transmit time"},
    {kNtpBeforeBuild, "a time before the program's build date"},
};

// The reason of a failure as the status log names it; `reply` holds the `size`
// bytes received, when the failure is one of the reply.
std::string failure_text(int fault, const uint8_t* reply, ssize_t size) {
    if (fault == kNtpWrongSize) return "reply of " + std::to_string(size) + " bytes";
    if (fault == kNtpBadStratum) return "stratum " + std::to_string(reply[1]);
    if (fault == kNtpKissOfDeath) {
        std::string code(reinterpret_cast<const char*>(reply) + 12, 4); // the kiss code
        std::replace_if(
            code.begin(), code.end(),
            [](char c) { return !std::isprint(static_cast<unsigned char>(c)); }, '?');
        return "kiss-o'-death " + code;
    }
    for (const auto& [code, text] : kFailureTexts)
        if (code == fault) return text;
    return "error " + std::to_string(fault);
}

void report_failure(int fault, const uint8_t* reply = nullptr, ssize_t size = 0) {
    if (failure_logged) return;
    failure_logged = true;
    LogPrint(LOG_TO_BOTH, 3, "NTP query to %s failed: %s\n", query.server,
             failure_text(fault, reply, size).c_str());
}

// Ends a query that got no reply within its wait.
void expire_query(uintptr_t, uintptr_t) {
    if (query.fd < 0) return;
    query.expiry_timer = kNoTimer; // it is running now
    end_query();
    report_failure(kNtpNoReply);
}

// Sends one query to the configured server; the reply is taken later by
// ntp_client_receive. Returns 0, or the failure when nothing was sent.
int send_query() {
    const uint8_t* server = network_settings.NtpServer;
    std::snprintf(query.server, sizeof query.server, "%d.%d.%d.%d", server[0], server[1], server[2],
                  server[3]);
    if (std::all_of(server, server + 4, [](uint8_t b) { return b == 0; })) return kNtpNoServer;
    if (std::equal(server, server + 4, network_settings.IP)) return kNtpOwnAddress;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kNtpPort);
    std::memcpy(&address.sin_addr.s_addr, server, 4);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNtpSocketError;
    uint8_t request[kNtpPacketSize];
    ntp_stamp_from_unix_us(system_clock_ns() / 1000, query.transmit);
    ntp_request_make(request, query.transmit);
    query.sent_us = monotonic_us();
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        send(fd, request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
        close(fd);
        return kNtpSocketError;
    }
    query.fd = fd;
    query.sent_in_check = timer_due_check_count();
    query.expiry_timer = add_interval_event(TimerCallback{expire_query, 0, 0}, kExpiryChecks, 0);
    return 0;
}

void set_clocks(int64_t unix_us) {
    SetSystemTime(static_cast<time_t>(unix_us / 1000000), static_cast<long>(unix_us % 1000000));
}

} // namespace

uint32_t ntp_quiet_wait_at(int hour, int minute, int second) {
    int wait = 0;
    if (hour == 23 && minute >= 55)
        wait = (60 - minute) * 60 - second + 361;
    else if (hour == 0 && minute <= 5)
        wait = (6 - minute) * 60 - second + 1;
    return wait > 0 ? static_cast<uint32_t>(wait) : 0;
}

uint32_t ntp_quiet_wait() {
    const time_t now = time(nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    return ntp_quiet_wait_at(lt.tm_hour, lt.tm_min, lt.tm_sec);
}

int ntp_client_restart() {
    if (!ntp_selected() || system_settings.TimeAdjustInt == 0) {
        ntp_client_schedule(0);
        end_query();
        clear_plan();
        LogRepeatEnd(refused_while_kept);
        return 0;
    }
    if (const uint32_t wait = ntp_quiet_wait(); wait != 0) {
        ntp_client_schedule(wait);
        return 0;
    }
    std::array<uint8_t, 4> server;
    std::copy_n(network_settings.NtpServer, 4, server.begin());
    if (system_settings.TimeAdjustInt == planned_interval && server == planned_server) return 0;
    planned_interval = system_settings.TimeAdjustInt;
    planned_server = server;
    register_query(1);
    ntp_client_schedule(system_settings.TimeAdjustInt);
    return 0;
}

int32_t ntp_client_schedule(uint32_t seconds) {
    if (pending_timer > 0) delete_event(static_cast<uint32_t>(pending_timer));
    if (seconds == 0) return 0;
    pending_timer = static_cast<int32_t>(register_query(seconds));
    return pending_timer < 1 ? -1 : pending_timer;
}

// The next query is planned as after a failure; a good reply re-plans it. A
// second query falling due in the same due check (a new plan with an interval
// of 1) leaves the first one alone.
void ntp_client_event(uintptr_t, uintptr_t) {
    if (!ntp_selected()) return;
    if (query.fd >= 0 && query.sent_in_check == timer_due_check_count()) return;
    if (query.fd >= 0) {
        end_query();
        report_failure(kNtpNoReply);
    }
    uint32_t next = ntp_quiet_wait();
    if (next == 0) {
        next = retry_interval();
        if (const int fault = send_query(); fault < 0) report_failure(fault);
    }
    ntp_client_schedule(next);
}

int ntp_client_socket() {
    return query.fd;
}

void ntp_client_receive() {
    if (query.fd < 0) return;
    std::array<uint8_t, 256> reply{};
    const ssize_t size = recv(query.fd, reply.data(), reply.size(), 0);
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    const int64_t arrival_us = monotonic_us();
    end_query();
    if (!ntp_selected()) return;
    if (size != static_cast<ssize_t>(kNtpPacketSize))
        std::printf("<Error> NTP Recv : size=%dbyte\n", static_cast<int>(size));

    const int64_t round_trip_us = arrival_us - query.sent_us;
    NtpReplyTime time{};
    int fault = size < 0 ? kNtpReceiveError
                         : ntp_reply_check(reply.data(), size_t(size), query.transmit, time);
    if (fault == 0 && round_trip_us > int64_t{pace_wait_ms(kReplyWaitMs)} * 1000)
        fault = kNtpNoReply;
    const int64_t server_us = ntp_time_at_arrival_us(time, round_trip_us);
    if (fault == 0 && server_us / 1000000 < clock_floor()) fault = kNtpBeforeBuild;
    if (fault < 0) {
        report_failure(fault, reply.data(), size);
        return;
    }
    failure_logged = false;
    if (broadcast_time_kept()) {
        LogRepeated(refused_while_kept, 3,
                    "Clock not set from NTP server %s: the unit keeps broadcast time\n",
                    query.server);
    } else {
        LogRepeatEnd(refused_while_kept);
        set_clocks(server_us + (monotonic_us() - arrival_us));
    }
    ntp_client_schedule(system_settings.TimeAdjustInt);
}
