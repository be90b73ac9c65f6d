// Deployment settings: how this installation differs from the unit's defaults
// (NTP daemon commands, SPI transport, file group, time delivery), read from
// /etc/default/orv-main, the file that the service also takes as its
// environment. The unit reads it and never writes it.
#pragma once

#include <string>
#include <string_view>

constexpr const char* kDeploySettingsPath = "/etc/default/orv-main";

// The value of KEY in the deployment settings, or the fallback when the file or
// the key is missing or the value is empty.
std::string deploy_setting(std::string_view key, std::string_view fallback = {});
// Reads the file again at the next use (a new pass, a test).
void deploy_settings_reload();
