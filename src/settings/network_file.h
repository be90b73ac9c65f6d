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

// What a whole network settings file holds (NtpServer, which the unit never
// writes, is not required).
extern const SettingsShape kNetworkFileShape;

// Reads the file at the path, or the stream `opened` that the caller has
// opened at that path.
int ReadNetworkFile(const char* path, NetworkSettings& n, FILE* opened = nullptr);
int WriteNetworkFile(const char* path, const NetworkSettings& n);
void PrintNetworkSettings(const NetworkSettings& n);
int ApplyNetworkSettings(const NetworkSettings& n);
int netmask_prefix_length(const uint8_t mask[4]);
