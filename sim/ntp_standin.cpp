// The sandbox's stand-in NTP daemon: started and stopped by the unit's own
// commands for its daemon, it answers each client request as a daemon serving
// the sandbox's clock does (server mode, the request's transmit time echoed,
// the stratum of the unit's configuration, unsynchronised while that names
// none). An eventfd wakes its thread for a start, a stop and its end.
#include "ntp_standin.h"

#include "os/deploy_settings.h"
#include "sntp/daemon_query.h"
#include "sntp/ntp_packet.h"
#include "tot/ntp_daemon.h"
#include "tot/served_stratum.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint8_t kModeClient = 3, kModeServer = 4;
constexpr uint8_t kLeapUnsynchronised = 3;
constexpr uint8_t kUnsynchronisedStratum = 16;
constexpr uint8_t kPrecision = uint8_t(-20); // about a microsecond
constexpr uint8_t kLoopbackRefid[4] = {127, 0, 0, 1};
constexpr size_t kReferenceAt = 16, kOriginateAt = 24, kReceiveAt = 32, kTransmitAt = 40;

std::thread server;
int wake_fd = -1;
std::atomic<bool> daemon_running = false;
std::atomic<bool> ending = false;
sockaddr_in address{};
std::string address_text;

void wake() {
    const uint64_t one = 1;
    if (write(wake_fd, &one, sizeof one) < 0) std::perror("sim: NTP stand-in wake");
}

int64_t now_us() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The socket bound to the sandbox's address, or -1 (said once a run of failures).
int listen_socket(bool& refused) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        refused = false;
        return fd;
    }
    if (!refused)
        std::fprintf(stderr, "sim: the NTP daemon's stand-in cannot listen on %s: %s\n",
                     address_text.c_str(), std::strerror(errno));
    refused = true;
    if (fd >= 0) close(fd);
    return -1;
}

void answer(int fd) {
    uint8_t request[512];
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const ssize_t size =
        recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&peer), &length);
    if (size < ssize_t(kNtpPacketSize) || (request[0] & 7) != kModeClient) return;
    const int stratum = served_stratum();
    const bool synchronised = stratum >= 1 && stratum <= 15;
    uint8_t reply[kNtpPacketSize] = {};
    reply[0] =
        uint8_t((synchronised ? 0 : kLeapUnsynchronised) << 6 | (request[0] & 0x38) | kModeServer);
    reply[1] = synchronised ? uint8_t(stratum) : kUnsynchronisedStratum;
    reply[2] = request[2];
    reply[3] = kPrecision;
    std::memcpy(reply + 12, kLoopbackRefid, sizeof kLoopbackRefid);
    std::memcpy(reply + kOriginateAt, request + kTransmitAt, kNtpStampSize);
    ntp_stamp_from_unix_us(now_us(), reply + kReceiveAt);
    std::memcpy(reply + kReferenceAt, reply + kReceiveAt, kNtpStampSize);
    ntp_stamp_from_unix_us(now_us(), reply + kTransmitAt);
    sendto(fd, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&peer), length);
}

// Listens while the daemon runs; the port is closed while it is stopped, so
// that a query is refused as on a unit whose daemon is stopped.
void serve() {
    int fd = -1;
    bool refused = false;
    while (!ending) {
        if (daemon_running && fd < 0) fd = listen_socket(refused);
        if (!daemon_running && fd >= 0) {
            close(fd);
            fd = -1;
        }
        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(fds, fd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("sim: NTP stand-in poll");
            break;
        }
        uint64_t count = 0;
        if ((fds[0].revents & POLLIN) && read(wake_fd, &count, sizeof count) < 0)
            std::perror("sim: NTP stand-in wake");
        if (fd >= 0 && (fds[1].revents & POLLIN)) answer(fd);
    }
    if (fd >= 0) close(fd);
}

} // namespace

void sim_ntp_start() {
    address_text = deploy_setting("ORV_NTP_QUERY");
    if (address_text.empty()) return;
    if (!daemon_address_parse(address_text, address)) {
        std::fprintf(stderr, "sim: ORV_NTP_QUERY %s is no IPv4 address and port: no NTP daemon\n",
                     address_text.c_str());
        return;
    }
    wake_fd = eventfd(0, EFD_CLOEXEC);
    if (wake_fd < 0) {
        std::perror("sim: NTP stand-in eventfd");
        return;
    }
    ending = false;
    daemon_running = false;
    server = std::thread(serve);
}

void sim_ntp_stop() {
    if (!server.joinable()) return;
    ending = true;
    wake();
    server.join();
    close(wake_fd);
    wake_fd = -1;
}

void sim_ntp_note_command(const std::string& command) {
    if (!server.joinable()) return;
    const bool start = command == ntp_daemon_command(DaemonAction::start);
    if (!start && command != ntp_daemon_command(DaemonAction::stop)) return;
    daemon_running = start;
    wake();
}
