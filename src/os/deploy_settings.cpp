// Deployment settings: KEY=VALUE lines as systemd's EnvironmentFile takes them
// (blank lines and '#' comments skipped, a value optionally in single or double
// quotes), read once from /etc/default/orv-main under the unit's root.
#include "os/deploy_settings.h"

#include "os/unit_path.h"

#include <fstream>
#include <map>
#include <mutex>

namespace {

std::mutex settings_lock;
std::map<std::string, std::string, std::less<>> settings;
bool loaded = false;

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string_view unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

void load_locked() {
    settings.clear();
    loaded = true;
    std::ifstream in(unit_path(kDeploySettingsPath));
    for (std::string line; std::getline(in, line);) {
        const std::string_view text = trimmed(line);
        const size_t equals = text.find('=');
        if (text.empty() || text.front() == '#' || equals == std::string_view::npos) continue;
        const std::string_view key = trimmed(text.substr(0, equals));
        settings[std::string(key)] = std::string(unquoted(trimmed(text.substr(equals + 1))));
    }
}

} // namespace

std::string deploy_setting(std::string_view key, std::string_view fallback) {
    std::lock_guard lock(settings_lock);
    if (!loaded) load_locked();
    const auto found = settings.find(key);
    if (found == settings.end() || found->second.empty()) return std::string(fallback);
    return found->second;
}

void deploy_settings_reload() {
    std::lock_guard lock(settings_lock);
    loaded = false;
}
