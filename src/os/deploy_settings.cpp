// Deployment settings: KEY=VALUE lines as systemd's EnvironmentFile takes them
// (blank lines and '#' comments skipped, a value optionally in single or double
// quotes), read once from /etc/default/orv-main under the unit's root, and each
// value checked against its entry of the table.
#include "os/deploy_settings.h"

#include "os/unit_path.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace {

std::mutex settings_lock;
std::map<std::string, std::string, std::less<>> settings;
// The unusable value last reported of each key.
std::map<std::string, std::string, std::less<>> reported;
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
    reported.clear();
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

std::string set_value(std::string_view key) {
    std::lock_guard lock(settings_lock);
    if (!loaded) load_locked();
    const auto found = settings.find(key);
    return found == settings.end() ? std::string() : found->second;
}

std::string_view fallback_of(const DeploySettingSpec& row) {
    return row.no_fallback_sandboxed && sandboxed() ? std::string_view() : row.fallback;
}

// Takes TEXT into VALUE when it is one of the row's kind; false when not.
bool take(const DeploySettingSpec& row, std::string_view text, DeployValue& value) {
    value.text = text;
    switch (row.kind) {
    case DeployKind::text:
        return true;
    case DeployKind::number: {
        if (!row.zero.empty() && text == "0") return value.number = 0, true;
        int64_t number = -1;
        const bool digits = !text.empty() && text.find_first_not_of("0123456789") == text.npos;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (!digits || error != std::errc() || number < row.min || number > row.max) return false;
        return value.number = number, true;
    }
    case DeployKind::real: {
        const std::string whole(text);
        char* end = nullptr;
        const double real = std::strtod(whole.c_str(), &end);
        if (whole.empty() || *end != '\0' || !std::isfinite(real)) return false;
        return value.real = real, true;
    }
    case DeployKind::label:
        for (size_t i = 0; i < row.labels.size(); ++i)
            if (text == row.labels[i]) return value.number = int64_t(i), true;
        return text.empty();
    }
    return false;
}

} // namespace

DeployValue deploy_value(std::string_view key) {
    const DeploySettingSpec& row = deploy_spec(key);
    DeployValue value;
    value.row = &row;
    const std::string set = set_value(key);
    if (take(row, set.empty() ? fallback_of(row) : set, value)) return value;
    value.usable = false;
    value.unusable = set;
    take(row, fallback_of(row), value);
    return value;
}

std::string deploy_setting(std::string_view key) {
    return deploy_setting(key, fallback_of(deploy_spec(key)));
}

std::string deploy_setting(std::string_view key, std::string_view fallback) {
    static_cast<void>(deploy_spec(key));
    const std::string set = set_value(key);
    return set.empty() ? std::string(fallback) : set;
}

bool deploy_problem_is_new(const DeployValue& value) {
    std::lock_guard lock(settings_lock);
    if (value.usable) {
        if (const auto last = reported.find(value.row->key); last != reported.end())
            reported.erase(last);
        return false;
    }
    const auto [last, first] = reported.try_emplace(std::string(value.row->key), value.unusable);
    if (!first && last->second == value.unusable) return false;
    last->second = value.unusable;
    return true;
}

void deploy_settings_reload() {
    std::lock_guard lock(settings_lock);
    loaded = false;
}
