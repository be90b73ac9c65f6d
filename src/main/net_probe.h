// The eth0 probes of the current state: hardware address and link state, and
// the seam through which they reach the interface.
#pragma once

#include <cstdint>
#include <net/if.h>

int get_mac(uint8_t mac[6], const char* ifname);
int link_check();
// Back to the start of the program: link state not yet known, no
// renegotiation pending (tests only: the unit never resets them).
void link_check_reset();

// The seam to the network interfaces: an IPv4 datagram socket and the
// requests the probes make on it (SIOCGIFHWADDR; SIOCETHTOOL with
// ETHTOOL_GLINK, ETHTOOL_GSET and ETHTOOL_SSET). Each returns -1 on failure.
struct NetProbeOps {
    int (*socket)();
    int (*ioctl)(int fd, unsigned long request, ifreq* request_data);
    int (*close)(int fd);
};

// nullptr restores the kernel's. In a sandbox the kernel's take an
// ETHTOOL_SSET into the command journal, as the ethtool command that does the
// same, and leave the host's interface alone.
void net_probe_set_ops(const NetProbeOps* ops);
const NetProbeOps& net_probe_ops();
