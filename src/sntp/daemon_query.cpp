// One client query to the system's NTP daemon: its address, the request sent
// on a socket of its own, and the answer taken apart into what ntpstat and
// chronyc tracking show, whether the asker waits for it or takes it later.
#include "sntp/daemon_query.h"

#include "os/deploy_settings.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kWaitSeconds = 1;
constexpr size_t kOriginateAt = 24, kReceiveAt = 32, kTransmitAt = 40;

int64_t now_us() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

uint32_t word_at(const uint8_t* bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

// A 16.16 fixed-point field in milliseconds.
double short_ms(const uint8_t* bytes) {
    return double(word_at(bytes)) * 1000.0 / 65536.0;
}

// Up to four letters and digits (a reference clock's name, "TOT") or an IPv4 address.
std::string refid_text(const uint8_t* bytes) {
    std::string text;
    size_t i = 0;
    for (; i < 4 && std::isalnum(bytes[i]); ++i)
        text += char(bytes[i]);
    while (i < 4 && bytes[i] == 0)
        ++i;
    if (i == 4 && !text.empty()) return text;
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

// The reply taken apart into the answer, or refused as no answer to the query.
void read_reply(const uint8_t* reply, ssize_t length, const DaemonQuery& query, int64_t arrived_us,
                DaemonAnswer& answer) {
    if (length != ssize_t(kNtpPacketSize) || (reply[0] & 7) != 4 ||
        std::memcmp(reply + kOriginateAt, query.sent, kNtpStampSize) != 0) {
        answer.failure = "not an answer to the query";
        return;
    }
    answer.answered = true;
    answer.leap = reply[0] >> 6;
    answer.stratum = reply[1];
    answer.root_delay_ms = short_ms(reply + 4);
    answer.root_dispersion_ms = short_ms(reply + 8);
    answer.refid = refid_text(reply + 12);
    const int64_t received_us = ntp_stamp_to_unix_us(reply + kReceiveAt);
    const int64_t transmitted_us = ntp_stamp_to_unix_us(reply + kTransmitAt);
    answer.offset_ms =
        double((received_us - query.sent_us) + (transmitted_us - arrived_us)) / 2000.0;
}

} // namespace

std::string daemon_address() {
    const char* named = std::getenv("ORV_NTP_QUERY");
    return named && *named ? named : deploy_setting("ORV_NTP_QUERY");
}

bool daemon_address_parse(const std::string& text, sockaddr_in& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    char* end = nullptr;
    const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(uint16_t(port));
    return *end == 0 && port > 0 && port < 65536 &&
           inet_pton(AF_INET, text.substr(0, colon).c_str(), &out.sin_addr) == 1;
}

bool daemon_query_send(DaemonQuery& query, std::string& failure) {
    query.address = daemon_address();
    sockaddr_in to{};
    if (query.address.empty()) {
        failure = kNoDaemonNamed;
        return false;
    }
    if (!daemon_address_parse(query.address, to)) {
        failure = "not an IPv4 address and port";
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::string("no socket: ") + std::strerror(errno);
        return false;
    }
    uint8_t request[kNtpPacketSize];
    query.sent_us = now_us();
    ntp_stamp_from_unix_us(query.sent_us, query.sent);
    ntp_request_make(request, query.sent);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        send(fd, request, kNtpPacketSize, 0) != ssize_t(kNtpPacketSize)) {
        failure = std::strerror(errno);
        close(fd);
        return false;
    }
    query.fd = fd;
    return true;
}

bool daemon_query_take(DaemonQuery& query, DaemonAnswer& answer) {
    uint8_t reply[kNtpPacketSize + 1];
    const ssize_t length = recv(query.fd, reply, sizeof reply, 0);
    if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
    const int64_t arrived_us = now_us();
    answer = DaemonAnswer{};
    answer.address = query.address;
    if (length < 0)
        answer.failure = std::strerror(errno);
    else
        read_reply(reply, length, query, arrived_us, answer);
    daemon_query_end(query);
    return true;
}

void daemon_query_end(DaemonQuery& query) {
    if (query.fd >= 0) close(query.fd);
    query.fd = -1;
}

DaemonAnswer daemon_query() {
    DaemonAnswer answer{};
    DaemonQuery query;
    if (!daemon_query_send(query, answer.failure)) {
        answer.address = query.address;
        return answer;
    }
    pollfd wait{query.fd, POLLIN, 0};
    const int ready = poll(&wait, 1, kWaitSeconds * 1000);
    if (ready > 0 && daemon_query_take(query, answer)) return answer;
    answer.address = query.address;
    answer.failure = ready == 0 ? "no answer within " + std::to_string(kWaitSeconds) + " s"
                                : std::strerror(errno);
    daemon_query_end(query);
    return answer;
}

bool daemon_synchronised(const DaemonAnswer& answer) {
    return answer.answered && answer.leap != 3 && answer.stratum >= 1 && answer.stratum <= 15;
}

double daemon_root_distance_ms(const DaemonAnswer& answer) {
    return answer.root_delay_ms / 2 + answer.root_dispersion_ms;
}
