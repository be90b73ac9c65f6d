// The NTP daemon as it is: one client query to it (leap, stratum, reference,
// root delay and dispersion, its offset from this machine's clock) and the
// search for its process, so that orvctl tells what the daemon does and not
// only what the unit asked of it.
#include "daemon_check.h"

#include "os/unit_path.h"
#include "sntp/ntp_packet.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultAddress = "127.0.0.1:123";
constexpr int kWaitSeconds = 1;
constexpr size_t kOriginateAt = 24, kReceiveAt = 32, kTransmitAt = 40;

struct Daemon {
    const char* process;
    const char* pid_file;
};
constexpr Daemon kDaemons[] = {{"ntpd", "/run/ntpd.pid"}, {"chronyd", "/run/chrony/chronyd.pid"}};

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

bool parse_address(const std::string& text, sockaddr_in& out) {
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

// Sends the request and waits for the reply; its length, or -1 with
// `failure` set.
ssize_t exchange(const sockaddr_in& to, const uint8_t* request, uint8_t* reply, size_t size,
                 std::string& failure) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::string("no socket: ") + std::strerror(errno);
        return -1;
    }
    ssize_t length = -1;
    pollfd wait{fd, POLLIN, 0};
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        send(fd, request, kNtpPacketSize, 0) != ssize_t(kNtpPacketSize))
        failure = std::strerror(errno);
    else if (const int ready = poll(&wait, 1, kWaitSeconds * 1000); ready == 0)
        failure = "no answer within " + std::to_string(kWaitSeconds) + " s";
    else if (ready < 0 || (length = recv(fd, reply, size, 0)) < 0)
        failure = std::strerror(errno);
    close(fd);
    return length;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// The process's name, empty when there is none.
std::string process_name(int pid) {
    return pid > 0 ? first_line("/proc/" + std::to_string(pid) + "/comm") : "";
}

} // namespace

DaemonAnswer daemon_query() {
    DaemonAnswer answer{};
    const char* named = std::getenv("ORV_NTP_QUERY");
    answer.address = named && *named ? named : kDefaultAddress;
    sockaddr_in to{};
    if (!parse_address(answer.address, to)) {
        answer.failure = "not an IPv4 address and port";
        return answer;
    }
    uint8_t request[kNtpPacketSize], reply[kNtpPacketSize + 1], sent[kNtpStampSize];
    const int64_t sent_us = now_us();
    ntp_stamp_from_unix_us(sent_us, sent);
    ntp_request_make(request, sent);
    const ssize_t length = exchange(to, request, reply, sizeof reply, answer.failure);
    const int64_t arrived_us = now_us();
    if (length < 0) return answer;
    if (length != ssize_t(kNtpPacketSize) || (reply[0] & 7) != 4 ||
        std::memcmp(reply + kOriginateAt, sent, kNtpStampSize) != 0) {
        answer.failure = "not an answer to the query";
        return answer;
    }
    answer.answered = true;
    answer.leap = reply[0] >> 6;
    answer.stratum = reply[1];
    answer.root_delay_ms = short_ms(reply + 4);
    answer.root_dispersion_ms = short_ms(reply + 8);
    answer.refid = refid_text(reply + 12);
    const int64_t received_us = ntp_stamp_to_unix_us(reply + kReceiveAt);
    const int64_t transmitted_us = ntp_stamp_to_unix_us(reply + kTransmitAt);
    answer.offset_ms = double((received_us - sent_us) + (transmitted_us - arrived_us)) / 2000.0;
    return answer;
}

bool daemon_synchronised(const DaemonAnswer& answer) {
    return answer.answered && answer.leap != 3 && answer.stratum >= 1 && answer.stratum <= 15;
}

int daemon_process(std::string& name) {
    for (const Daemon& daemon : kDaemons)
        if (const int pid = std::atoi(first_line(unit_path(daemon.pid_file)).c_str());
            process_name(pid) == daemon.process) {
            name = daemon.process;
            return pid;
        }
    if (sandboxed()) return 0; // the machine's own daemons are none of the sandbox's
    DIR* proc = opendir("/proc");
    int found = 0;
    for (dirent* entry; proc && !found && (entry = readdir(proc));) {
        const int pid = std::atoi(entry->d_name);
        const std::string process = process_name(pid);
        for (const Daemon& daemon : kDaemons)
            if (process == daemon.process) found = pid, name = process;
    }
    if (proc) closedir(proc);
    return found;
}
