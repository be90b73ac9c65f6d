// The eth0 probes behind the current state: the hardware address, and the
// link test with its process-wide link state and renegotiation countdown.
#include "main/net_probe.h"

#include "log/status_log.h"
#include "os/shell.h"
#include "os/unit_path.h"

#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kLinkInterface = "eth0";
constexpr int kRenegotiationChecks = 5;   // down checks between two restarts
constexpr uint32_t kAdvertiseModes = 0xF; // 10 and 100 Mb/s, half and full duplex

// Survives ticks and passes: -1 not yet known, 0 up, 1 down.
int link_state = -1;
int renegotiation_countdown = 0;

// A socket closed when it goes out of scope.
struct Socket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd >= 0) close(fd);
    }
};

ifreq interface_request(const char* ifname) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    return ifr;
}

int ethtool_request(int fd, void* command) {
    ifreq ifr = interface_request(kLinkInterface);
    ifr.ifr_data = static_cast<char*>(command);
    return ioctl(fd, SIOCETHTOOL, &ifr);
}

// A settings write that would change the host's interface: in a sandbox it is
// only journaled, with the ethtool command that does the same.
int ethtool_set(int fd, ethtool_cmd& settings, const std::string& equivalent) {
    if (sandboxed()) {
        journal_command(equivalent);
        return 0;
    }
    settings.cmd = ETHTOOL_SSET;
    return ethtool_request(fd, &settings);
}

// Autonegotiation off, then on again advertising the 10 and 100 Mb/s modes.
void restart_autonegotiation(int fd) {
    ethtool_cmd settings{};
    settings.cmd = ETHTOOL_GSET;
    if (ethtool_request(fd, &settings) < 0) return;
    settings.autoneg = AUTONEG_DISABLE;
    if (ethtool_set(fd, settings, "ethtool -s eth0 autoneg off") < 0) return;
    settings.advertising = settings.supported & kAdvertiseModes;
    settings.autoneg = AUTONEG_ENABLE;
    char command[64];
    std::snprintf(command, sizeof command, "ethtool -s eth0 advertise 0x%x autoneg on",
                  settings.advertising);
    ethtool_set(fd, settings, command);
}

void note_link_up() {
    if (link_state == 0) return;
    link_state = 0;
    renegotiation_countdown = 0;
    LogPrint(LOG_TO_BOTH, 6, "eth0 link-up\n");
}

void note_link_down(int fd) {
    if (link_state != 1) {
        link_state = 1;
        LogPrint(LOG_TO_BOTH, 3, "eth0 link-down\n");
    }
    if (renegotiation_countdown > 0) {
        --renegotiation_countdown;
        return;
    }
    renegotiation_countdown = kRenegotiationChecks;
    restart_autonegotiation(fd);
}

} // namespace

int get_mac(uint8_t mac[6], const char* ifname) {
    Socket sock;
    if (sock.fd < 0) {
        std::puts("get_mac socket error");
        return -1;
    }
    ifreq ifr = interface_request(ifname);
    if (ioctl(sock.fd, SIOCGIFHWADDR, &ifr) < 0) {
        std::puts("get_mac ioctl error");
        return -1;
    }
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int link_check() {
    Socket sock;
    if (sock.fd < 0) return -1;
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    if (ethtool_request(sock.fd, &link) < 0) return -1;
    if (link.data == 1) {
        note_link_up();
        return 0;
    }
    note_link_down(sock.fd);
    return -1;
}
