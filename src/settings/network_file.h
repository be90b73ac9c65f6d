// The network settings file ORV_Network.ini, its record, and applying it to
// eth0, the default route, the resolver and the dhcpcd configuration.
#pragma once

#include "settings/file_store.h"

#include <cstdint>
#include <cstdio>
#include <optional>

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

// What makes a network settings file usable as the unit's at start: every
// address one the unit can apply, and the unit able to live on them together
// (factory values for keys missing); at a setup change, the same with the
// address, net mask and gateway present.
extern const SettingsShape kNetworkFileShape;
extern const SettingsShape kNetworkChangeShape;

// The settings last applied (eth0's address, the default route, the resolver
// and dhcpcd's file); none before the first apply of the run.
extern std::optional<NetworkSettings> network_applied;

// Reads the file at the path, or the stream `opened` that the caller has
// opened at that path. An address that is not four numbers of 0 to 255 is
// refused whole with a level-3 line: the field keeps what it held before
// (its factory value when that was none).
int ReadNetworkFile(const char* path, NetworkSettings& n, FILE* opened = nullptr);
int WriteNetworkFile(const char* path, const NetworkSettings& n);
void PrintNetworkSettings(const NetworkSettings& n);
// kNetworkApplied, or kNetworkNotApplied when the dhcpcd file could not be
// edited (logged): then nothing is applied.
constexpr int kNetworkApplied = 1;
constexpr int kNetworkNotApplied = -1;
int ApplyNetworkSettings(const NetworkSettings& n);
int netmask_prefix_length(const uint8_t mask[4]);
