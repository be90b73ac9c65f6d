// The eth0 probes of the current state: hardware address and link state.
#pragma once

#include <cstdint>

int get_mac(uint8_t mac[6], const char* ifname);
int link_check();
