// The eth0 probes behind the current state: the hardware address, and the
// link test with its process-wide link state and renegotiation countdown. The
// interface is reached only through the NetProbeOps seam.
#include "main/net_probe.h"

#include "log/status_log.h"
#include "os/shell.h"
#include "os/unit_path.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
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

// A settings write in a sandbox: the ethtool command that does the same goes
// to the journal instead of the host's interface.
void journal_settings_write(const ifreq& ifr, const ethtool_cmd& settings) {
    if (settings.autoneg == AUTONEG_ENABLE)
        journal_command(format_command("ethtool -s %s advertise 0x%x autoneg on", ifr.ifr_name,
                                       settings.advertising));
    else
        journal_command(format_command("ethtool -s %s autoneg off", ifr.ifr_name));
}

int kernel_socket() {
    return ::socket(AF_INET, SOCK_DGRAM, 0);
}

int kernel_ioctl(int fd, unsigned long request, ifreq* ifr) {
    if (request == SIOCETHTOOL && sandboxed()) {
        const auto* settings = reinterpret_cast<const ethtool_cmd*>(ifr->ifr_data);
        if (settings->cmd == ETHTOOL_SSET) {
            journal_settings_write(*ifr, *settings);
            return 0;
        }
    }
    return ::ioctl(fd, request, ifr) < 0 ? -1 : 0;
}

constexpr NetProbeOps kKernel{kernel_socket, kernel_ioctl, ::close};

std::atomic<const NetProbeOps*> current_ops{&kKernel};

// A socket of the seam, closed when it goes out of scope.
struct Socket {
    const NetProbeOps& ops = net_probe_ops();
    int fd = ops.socket();
    Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd >= 0) ops.close(fd);
    }
    int request(unsigned long request, ifreq& ifr) const { return ops.ioctl(fd, request, &ifr); }
};

ifreq interface_request(const char* ifname) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    return ifr;
}

int ethtool_request(const Socket& sock, void* command) {
    ifreq ifr = interface_request(kLinkInterface);
    ifr.ifr_data = static_cast<char*>(command);
    return sock.request(SIOCETHTOOL, ifr);
}

// Autonegotiation off, then on again advertising the 10 and 100 Mb/s modes.
void restart_autonegotiation(const Socket& sock) {
    ethtool_cmd settings{};
    settings.cmd = ETHTOOL_GSET;
    if (ethtool_request(sock, &settings) < 0) return;
    settings.cmd = ETHTOOL_SSET;
    settings.autoneg = AUTONEG_DISABLE;
    if (ethtool_request(sock, &settings) < 0) return;
    settings.advertising = settings.supported & kAdvertiseModes;
    settings.autoneg = AUTONEG_ENABLE;
    ethtool_request(sock, &settings);
}

void note_link_up() {
    if (link_state == 0) return;
    link_state = 0;
    renegotiation_countdown = 0;
    LogPrint(LOG_TO_BOTH, 6, "eth0 link-up\n");
}

void note_link_down(const Socket& sock) {
    if (link_state != 1) {
        link_state = 1;
        LogPrint(LOG_TO_BOTH, 3, "eth0 link-down\n");
    }
    if (renegotiation_countdown > 0) {
        --renegotiation_countdown;
        return;
    }
    renegotiation_countdown = kRenegotiationChecks;
    restart_autonegotiation(sock);
}

} // namespace

void net_probe_set_ops(const NetProbeOps* ops) {
    current_ops = ops ? ops : &kKernel;
}

const NetProbeOps& net_probe_ops() {
    return *current_ops.load();
}

int get_mac(uint8_t mac[6], const char* ifname) {
    const Socket sock;
    if (sock.fd < 0) {
        std::puts("get_mac socket error");
        return -1;
    }
    ifreq ifr = interface_request(ifname);
    if (sock.request(SIOCGIFHWADDR, ifr) < 0) {
        std::puts("get_mac ioctl error");
        return -1;
    }
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int link_check() {
    const Socket sock;
    if (sock.fd < 0) return -1;
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    if (ethtool_request(sock, &link) < 0) return -1;
    if (link.data == 1) {
        note_link_up();
        return 0;
    }
    note_link_down(sock);
    return -1;
}

void link_check_reset() {
    link_state = -1;
    renegotiation_countdown = 0;
}
