// The simulated eth0 behind the unit's network-probe seam: the address and the
// link from the sim world, the link modes of a 100 Mb/s port, and a settings
// write handed to the unit's own sandbox handling (the command journal).
#include "eth0.h"

#include "main/net_probe.h"
#include "world.h"

#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>

namespace {

constexpr int kSocket = 1000; // no descriptor of the process: never closed
constexpr unsigned kSupportedModes = 0xF | SUPPORTED_Autoneg;

// The kernel's seam, which in a sandbox journals a settings write.
const NetProbeOps* kernel = nullptr;

int fake_socket() {
    return kSocket;
}

int fake_close(int) {
    return 0;
}

int fake_ioctl(int fd, unsigned long request, ifreq* ifr) {
    if (std::strcmp(ifr->ifr_name, "eth0") != 0) return -1;
    const SimWorld world = sim_world();
    if (request == SIOCGIFHWADDR) {
        std::memcpy(ifr->ifr_hwaddr.sa_data, world.mac, sizeof world.mac);
        return 0;
    }
    if (request != SIOCETHTOOL) return -1;
    auto* link = reinterpret_cast<ethtool_value*>(ifr->ifr_data);
    auto* settings = reinterpret_cast<ethtool_cmd*>(ifr->ifr_data);
    switch (link->cmd) {
    case ETHTOOL_GLINK:
        link->data = world.link_up ? 1 : 0;
        return 0;
    case ETHTOOL_GSET:
        *settings = ethtool_cmd{};
        settings->cmd = ETHTOOL_GSET;
        settings->supported = kSupportedModes;
        settings->advertising = kSupportedModes;
        settings->autoneg = AUTONEG_ENABLE;
        return 0;
    case ETHTOOL_SSET:
        return kernel->ioctl(fd, request, ifr);
    default:
        return -1;
    }
}

constexpr NetProbeOps kSimEth0{fake_socket, fake_ioctl, fake_close};

} // namespace

void sim_eth0_install() {
    kernel = &net_probe_ops();
    net_probe_set_ops(&kSimEth0);
}
