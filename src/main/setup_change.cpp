// Setup change: takes the file name out of a "[SetupChange]" message,
// classifies the file by its name, and makes the program take over the new
// settings of the system, network, current-state and TOT setup files.
#include "main/setup_change.h"

#include "log/status_log.h"
#include "main/current_state.h"
#include "os/unit_path.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "sntp/ntp_client.h"
#include "tot/tot_files.h"
#include "tot/tot_step.h"
#include "tot/tot_tuning.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace {

constexpr size_t kNameSize = 256;
constexpr size_t kClassifySize = 128;
constexpr size_t kBoardTextSize = 16;

// Copies the token after the first "FileName" that follows "[SetupChange]".
void take_file_name(char* message, char name[kNameSize]) {
    std::memset(name, 0, kNameSize);
    constexpr const char* kSeparators = "=\r\n";
    char* save = nullptr;
    char* token = strtok_r(message, kSeparators, &save);
    while (token != nullptr && std::strncmp(token, "[SetupChange]", 13) != 0)
        token = strtok_r(nullptr, kSeparators, &save);
    if (token == nullptr) return;
    while ((token = strtok_r(nullptr, kSeparators, &save)) != nullptr) {
        if (std::strncmp(token, "FileName", 8) == 0) {
            if (const char* value = strtok_r(nullptr, kSeparators, &save))
                std::strncpy(name, value, kNameSize - 1);
            return;
        }
    }
}

SettingsFileKind orv_file_kind(const char* token) {
    if (token == nullptr) return kFileNone;
    if (std::strcmp(token, "System") == 0) return kFileSystem;
    if (std::strcmp(token, "Network") == 0) return kFileNetwork;
    if (std::strcmp(token, "Current") == 0) return kFileCurrent;
    if (std::strcmp(token, "Function") == 0) return kFileFunction;
    return kFileNone;
}

uint8_t hex_byte(const char* token) {
    return static_cast<uint8_t>(std::strtoul(token, nullptr, 16) & 0xFF);
}

bool same_date_time(const DateTime& a, const DateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

// The path with every link, "." and ".." resolved; empty when it does not
// resolve.
std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// Whether the named file lies directly in the RAM-disk settings directory,
// once links, "." and ".." are resolved. A file that does not exist yet counts
// by its directory; a link counts by where it points.
bool in_settings_dir(const char* name) {
    const std::string mapped = unit_path(name);
    const std::string base = mapped.substr(mapped.rfind('/') + 1);
    if (base.empty() || base == "." || base == "..") return false;
    const std::string settings_dir = resolved(unit_path(kRamConfDir));
    if (settings_dir.empty()) return false;
    struct stat st {};
    std::string dir = parent_of(mapped);
    if (lstat(mapped.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        const std::string target = resolved(mapped);
        if (target.empty()) return false;
        dir = parent_of(target);
    }
    return resolved(dir) == settings_dir;
}

// The kinds whose files the program reads and applies.
bool acted_on(SettingsFileKind kind) {
    return kind == kFileSystem || kind == kFileNetwork || kind == kFileCurrent ||
           kind == kFileSetup;
}

void take_system_file(const char* name) {
    ReadSystemFile(name, system_settings);
    PrintSystemSettings(system_settings);
    ntp_client_restart();
}

void take_network_file(const char* name) {
    ReadNetworkFile(name, network_settings);
    PrintNetworkSettings(network_settings);
    ApplyNetworkSettings(network_settings);
}

// A set date that differs from the stored one sets the clocks. Keys missing
// from the file, or a file that cannot be read, leave the stored values.
void take_current_file(const char* name) {
    DateTime candidate = current_state.SetDateTime;
    ReadCurrentSetDate(name, candidate);
    if (!same_date_time(candidate, current_state.SetDateTime)) {
        current_state.SetDateTime = candidate;
        SetSystemDate(candidate);
    }
    print_current_state(current_state);
}

} // namespace

int HandleSetupChange(char* message) {
    char name[kNameSize];
    take_file_name(message, name);
    char board_text[kBoardTextSize];
    uint8_t board_id = 0;
    uint8_t sub_id = 0;
    const SettingsFileKind kind = ClassifySettingsFile(name, board_text, board_id, sub_id);
    std::printf("<Debug> file_no =0x%02X, str=[%s], board_id=0x%02X, sub_id=0x%02X\n",
                static_cast<unsigned>(kind), board_text, board_id, sub_id);
    // The control FIFO is open to every local user: only files of the
    // settings directory are taken over.
    if (acted_on(kind) && !in_settings_dir(name)) {
        LogPrint(LOG_TO_BOTH, 3, "Setup change refused: %s is outside /var/kelvatro/conf/\n", name);
        return -1;
    }
    switch (kind) {
    case kFileSystem:
        take_system_file(name);
        break;
    case kFileNetwork:
        take_network_file(name);
        break;
    case kFileCurrent:
        take_current_file(name);
        break;
    case kFileSetup:
        orv_parser_setup(name, board_text, board_id, sub_id);
        break;
    default:
        break;
    }
    return 0;
}

SettingsFileKind ClassifySettingsFile(const char* path, char board_text[16], uint8_t& board_id,
                                      uint8_t& sub_id) {
    board_text[0] = '\0';
    board_id = 0;
    sub_id = 0;
    char copy[kClassifySize] = {};
    std::strncpy(copy, path, kClassifySize - 1);
    constexpr const char* kSeparators = "._/\\\t\r\n";
    char* save = nullptr;
    for (char* token = strtok_r(copy, kSeparators, &save); token != nullptr;
         token = strtok_r(nullptr, kSeparators, &save)) {
        if (std::strcmp(token, "ORV") == 0)
            return orv_file_kind(strtok_r(nullptr, kSeparators, &save));
        const bool setup = std::strcmp(token, "Setup") == 0;
        if (!setup && std::strcmp(token, "Filter") != 0) continue;
        const char* board = strtok_r(nullptr, kSeparators, &save);
        if (board == nullptr) return kFileNone;
        board_id = hex_byte(board);
        if (board_id == 0) {
            std::strncpy(board_text, board, kBoardTextSize - 1);
            board_text[kBoardTextSize - 1] = '\0';
        }
        const char* sub = strtok_r(nullptr, kSeparators, &save);
        if (sub == nullptr) return kFileNone;
        sub_id = hex_byte(sub);
        return setup ? kFileSetup : kFileFilter;
    }
    return kFileNone;
}

int ReadCurrentSetDate(const char* path, DateTime& dt) {
    return IniReadFile(path, "[ORVCurrent]", [&dt](const char* key, const char* value) {
        if (std::strcmp(key, "SetDate") == 0)
            IniParseDate(value, dt);
        else if (std::strcmp(key, "SetTime") == 0)
            IniParseTime(value, dt);
    });
}

int orv_parser_setup(const char* path, const char*, uint8_t board_id, uint8_t) {
    std::puts("<DBG>pass:orv_parser_setup");
    if (board_id != kTotBoard || !tot_function_enabled()) return 0;
    std::lock_guard lock(tot_mutex);
    tot_read_settings(path, tot_settings);
    tot_log_settings(tot_settings);
    tot_tuner_start(tot_settings);
    tot_step(tot_settings, tot_status);
    return 0;
}
