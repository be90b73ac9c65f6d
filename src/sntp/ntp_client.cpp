// The SNTP client: plans its queries on the event timers, sends one query to
// the configured server, and sets the clocks from the answer.
#include "sntp/ntp_client.h"

#include "os/pace.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "timer/event_timer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t kNtpPort = 123;
constexpr size_t kNtpPacketSize = 48;
constexpr uint32_t kNtpToUnixOffset = 2208988800U; // 1900-01-01 to 1970-01-01
constexpr uint32_t kRetryLimit = 300;
constexpr unsigned kReplyWaitMs = 1000;

// The interval and server of the last plan, and the timer of the next query.
uint32_t planned_interval = 0;
std::array<uint8_t, 4> planned_server{};
int32_t pending_timer = -1;

bool ntp_selected() {
    return system_settings.TimeAdjust == 1;
}

uint32_t register_query(uint32_t count) {
    return add_interval_event(TimerCallback{ntp_client_event, 0, 0}, count, 0);
}

void clear_plan() {
    planned_interval = 0;
    planned_server = {};
}

void set_clock_from(uint32_t unix_time) {
    DateTime dt{};
    LocalDateTimeOf(unix_time, dt);
    SetSystemDate(dt);
}

// Waits for the reply and checks its size; the socket stays open.
int receive_reply(int fd, uint32_t* unix_time) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    const unsigned wait_ms = pace_wait_ms(kReplyWaitMs);
    timeval timeout{static_cast<time_t>(wait_ms / 1000),
                    static_cast<suseconds_t>((wait_ms % 1000) * 1000)};
    const int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0) {
        std::puts("<Error> ntp_client_main() : select() error");
        return -3;
    }
    if (ready == 0) return -2;
    std::array<uint8_t, 256> reply{};
    const ssize_t size = recv(fd, reply.data(), reply.size(), 0);
    if (size != static_cast<ssize_t>(kNtpPacketSize)) {
        std::printf("<Error> NTP Recv : size=%dbyte\n", static_cast<int>(size));
        return -4;
    }
    const uint32_t transmit = (uint32_t{reply[40]} << 24) | (uint32_t{reply[41]} << 16) |
                              (uint32_t{reply[42]} << 8) | uint32_t{reply[43]};
    *unix_time = transmit - kNtpToUnixOffset;
    return 0;
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
        clear_plan();
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

void ntp_client_event(uintptr_t, uintptr_t) {
    if (!ntp_selected()) return;
    const uint8_t* s = network_settings.NtpServer;
    char address[16];
    std::snprintf(address, sizeof address, "%d.%d.%d.%d", s[0], s[1], s[2], s[3]);
    uint32_t next = ntp_quiet_wait();
    if (next == 0) {
        uint32_t unix_time = 0;
        if (ntp_client_main(address, &unix_time) < 0) {
            next = std::min(system_settings.TimeAdjustInt, kRetryLimit);
        } else {
            set_clock_from(unix_time);
            next = system_settings.TimeAdjustInt;
        }
    }
    ntp_client_schedule(next);
}

int ntp_client_main(const char* address, uint32_t* unix_time) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(kNtpPort);
    server.sin_addr.s_addr = inet_addr(address);

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) < 0) {
        close(fd);
        return -1;
    }
    std::array<uint8_t, kNtpPacketSize> request{};
    request[0] = 0x0B; // leap indicator 0, version 1, mode 3 (client)
    (void)send(fd, request.data(), request.size(), 0);
    const int result = receive_reply(fd, unix_time);
    close(fd);
    return result;
}
