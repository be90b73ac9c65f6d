// The network settings file ORV_Network.ini, its record, and applying it to
// eth0, the default route, the resolver and the dhcpcd configuration.
#pragma once

#include "settings/file_store.h"

#include <cstdint>
#include <cstdio>

struct NetworkSettings {
    uint8_t IP[4];
    uint8_t NetMask[4];
    uint8_t Gateway[4];
    uint8_t NtpServer[4];
    uint8_t Syslog[4];
    uint8_t snmp[4];
    uint8_t DnsP[4];
    uint8_t DnsS[4];
};

constexpr const char* kNetworkFilePath = "/var/kelvatro/conf/ORV_Network.ini";

extern NetworkSettings network_settings;

// What makes a network settings file readable as the unit's.
extern const SettingsShape kNetworkFileShape;

// Reads the file at the path, or the stream `opened` that the caller has
// opened at that path. An address that is not four numbers of 0 to 255 is
// refused whole with a level-3 line: the field keeps what it held before
// (its factory value when that was none).
int ReadNetworkFile(const char* path, NetworkSettings& n, FILE* opened = nullptr);
// The settings the unit applies, as another program finds them, nothing
// logged: the RAM disk's file when the unit can use it, else its SD copy (the
// last file taken), each read over the factory values. False without either.
bool NetworkSettingsInUse(NetworkSettings& n);
int WriteNetworkFile(const char* path, const NetworkSettings& n);
void PrintNetworkSettings(const NetworkSettings& n);
int ApplyNetworkSettings(const NetworkSettings& n);
int netmask_prefix_length(const uint8_t mask[4]);
