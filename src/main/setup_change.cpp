// Setup change: takes the file name out of a "[SetupChange]" message,
// classifies the file by its name, and makes the program take over the new
// settings of the system, network, current-state and TOT setup files.
#include "main/setup_change.h"

#include "log/status_log.h"
#include "main/current_state.h"
#include "os/pace.h"
#include "os/unit_path.h"
#include "settings/file_store.h"
#include "settings/network_file.h"
#include "settings/system_file.h"
#include "sntp/ntp_client.h"
#include "tot/clock_authority.h"
#include "tot/holdover.h"
#include "tot/tot_files.h"
#include "tot/tot_step.h"
#include "tot/tot_tuning.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// Refusals are logged at most once a second per cause, whatever the names in
// them (a writer that varies its names too): another cause is logged at once,
// the same one again within the second counted. Causes can hold text from the
// file, so only the first six (as many as there are kinds of cause) have a kind
// of their own; the others share one, which keeps the log's flood bound.
constexpr size_t kRefusalCauses = 6;
std::map<std::string, LogFlood> refusals;
LogFlood other_refusals;

void log_refusal(const char* name, const std::string& cause, const std::string& detail = {}) {
    LogFlood& kind = refusals.contains(cause) || refusals.size() < kRefusalCauses ? refusals[cause]
                                                                                  : other_refusals;
    LogLimited(kind, 3, "Setup change refused: %s%s%s%s\n", LogEscaped(name).c_str(),
               *name ? " " : "", cause.c_str(), detail.c_str());
}

// Opens a file named by a setup change, once, for reading: an existing regular
// file that stands under its own name (not a link) directly in the RAM-disk
// settings directory. What is checked is the open file itself, so it is what
// is read. Returns nullptr after one error line when the file is refused.
FILE* open_changed_file(const char* name) {
    const std::string mapped = unit_path(name);
    const std::string base = mapped.substr(mapped.rfind('/') + 1);
    const int fd = open(mapped.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    struct stat listed {};
    std::string refusal;
    if (fd < 0)
        refusal = errno == ENOENT || errno == ENOTDIR ? "does not exist"
                  : errno == ELOOP                    ? "is a symbolic link"
                                                      : std::strerror(errno);
    else if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))
        refusal = "is not a regular file";
    else if (base.empty() || base == "." || base == ".." ||
             fstatat(AT_FDCWD, (unit_path(kRamConfDir) + base).c_str(), &listed,
                     AT_SYMLINK_NOFOLLOW) != 0 ||
             listed.st_dev != opened.st_dev || listed.st_ino != opened.st_ino)
        refusal = std::string("is outside ") + kRamConfDir;
    FILE* file = refusal.empty() ? fdopen(fd, "r") : nullptr;
    if (file) return file;
    if (refusal.empty()) refusal = std::strerror(errno);
    if (fd >= 0) close(fd);
    // In a sandbox the name is a unit path too: the line says where it led.
    log_refusal(name, refusal, sandboxed() ? " (looked at " + LogEscaped(mapped) + ")" : "");
    return nullptr;
}

// Why the program does not take a file of the kind over; nullptr when it does.
const char* not_taken(SettingsFileKind kind, uint8_t board_id) {
    if (kind == kFileSetup && board_id != kTotBoard) return " (the unit takes board 5's setup)";
    if (kind == kFileSetup && !tot_function_enabled()) return " (the TOT function is off)";
    if (kind == kFileSystem || kind == kFileNetwork || kind == kFileCurrent || kind == kFileSetup)
        return nullptr;
    return " (ORV_System.ini, ORV_Network.ini, ORV_Current.ini or Setup_05_01.ini)";
}

std::string read_text(FILE* file) {
    std::string text;
    char chunk[4096];
    for (size_t n;
         text.size() <= kMaxSettingsSize && (n = std::fread(chunk, 1, sizeof chunk, file));)
        text.append(chunk, n);
    return text;
}

bool current_value_ok(const char* key, const char* value) {
    if (std::strcmp(key, "SetDate") == 0) return IniIsDate(value);
    if (std::strcmp(key, "SetTime") == 0) return IniIsTime(value);
    return true;
}

const SettingsShape kCurrentFileShape{"[ORVCurrent]", current_value_ok};

// What a file of a kind taken over must be.
const SettingsShape& taken_shape(SettingsFileKind kind) {
    switch (kind) {
    case kFileSystem:
        return kSystemFileShape;
    case kFileNetwork:
        return kNetworkChangeShape;
    case kFileCurrent:
        return kCurrentFileShape;
    default:
        return kTotSettingsShape;
    }
}

// A file the unit would set aside at start is refused whole: nothing of it is
// applied, and its SD copy keeps the last file taken.
bool usable(const char* name, const std::string& text, const SettingsShape& shape) {
    const std::string problem = SettingsTextProblem(text, shape);
    if (problem.empty()) return true;
    log_refusal(name, "not usable (" + problem + ")");
    return false;
}

// The file of each kind last applied, and when (the unit's clock): the same
// file again within a second is not applied again, only counted, so that a
// writer of the FIFO cannot have it re-run (the network's commands, the
// settings' lines) at will.
constexpr int64_t kReapplyAfterUs = 1000000;
struct Applied {
    std::string text;
    int64_t at_us;
};
std::map<SettingsFileKind, Applied> last_applied;
LogFlood repeated_changes;

bool applied_just_now(SettingsFileKind kind, const char* name, const std::string& text) {
    const int64_t now = pace_clock_us();
    Applied& last = last_applied[kind];
    if (text == last.text && now >= last.at_us && now - last.at_us < kReapplyAfterUs) {
        LogLimited(repeated_changes, 6,
                   "Setup change of %s not applied again: the same file was applied less than a "
                   "second ago\n",
                   LogEscaped(name).c_str());
        return true;
    }
    last = Applied{text, now};
    return false;
}

// A settings file taken over is saved as the unit's own file of its kind, as
// the unit's own writes are: its SD copy (the RAM disk does not outlive a
// reboot), and the RAM disk's file too when the change named another one, so
// that the next pass takes it again.
void save_as_own(const char* name, const char* own, const std::string& text) {
    const std::string_view base =
        std::string_view(name).substr(std::string_view(name).rfind('/') + 1);
    if (base == std::string_view(own).substr(std::string_view(own).rfind('/') + 1))
        CopyToSdCard(own, text);
    else
        WriteSettingsFile(own, text);
}

void take_system_file(const char* name, const std::string& text, FILE* file) {
    save_as_own(name, kSystemFilePath, text);
    ReadSystemFile(kSystemFilePath, system_settings, file);
    PrintSystemSettings(system_settings);
    report_time_source_conflict();
    if (!tot_function_enabled()) {
        std::lock_guard lock(tot_mutex);
        holdover_function_off();
    }
    ntp_client_restart();
}

// Settings that could not be applied are not saved: the next boot applies
// the last ones that were. False when they could not.
bool take_network_file(const char* name, const std::string& text, FILE* file) {
    ReadNetworkFile(name, network_settings, file);
    PrintNetworkSettings(network_settings);
    if (ApplyNetworkSettings(network_settings) != kNetworkApplied) return false;
    save_as_own(name, kNetworkFilePath, text);
    return true;
}

// Set dates refused, whatever the dates: at most one line a second.
LogFlood refused_dates;

// Why a changed set date is not taken, nullptr when it is: the clocks are set
// unless the unit keeps broadcast time (a manual date would step the served
// time) or the date lies before the program's build.
const char* set_date_refusal(const DateTime& candidate) {
    if (broadcast_time_kept()) return "the unit keeps broadcast time";
    if (SetSystemDate(candidate) == kDateBeforeBuild) return "before the program's build date";
    return nullptr;
}

// A set date taken is stored and shown with the current state; a refused one
// is only logged (false), an unchanged one changes nothing (the unit rewrites
// the file every tick: a writer of the FIFO would have the state shown at
// will). Keys missing from the file leave the stored values.
bool take_current_file(const char* name, FILE* file) {
    DateTime d = current_state.SetDateTime;
    ReadCurrentSetDate(name, d, file);
    if (same_date_time(d, current_state.SetDateTime)) return true;
    if (const char* refusal = set_date_refusal(d)) {
        LogLimited(refused_dates, 3, "Clock not set to %04d-%02d-%02d %02d:%02d:%02d: %s\n", d.year,
                   d.month, d.day, d.hour, d.minute, d.second, refusal);
        return false;
    }
    current_state.SetDateTime = d;
    print_current_state(current_state);
    return true;
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
    if (!*name) {
        log_refusal(name, "the message names no file (no FileName= line)");
        return -1;
    }
    // The control FIFO is open to every local user: only existing files of the
    // settings directory are taken over.
    FILE* opened = open_changed_file(name);
    if (!opened) return -1;
    std::string text = read_text(opened);
    std::fclose(opened);
    if (const char* why = not_taken(kind, board_id)) {
        log_refusal(name, "is no settings file that the unit takes over", why);
        return -1;
    }
    if (!usable(name, text, taken_shape(kind))) return -1;
    if (applied_just_now(kind, name, text)) return 0;
    // What was checked is what is read.
    FILE* file = fmemopen(text.data(), text.size(), "r");
    bool taken = true;
    switch (kind) {
    case kFileSystem:
        take_system_file(name, text, file);
        break;
    case kFileNetwork:
        taken = take_network_file(name, text, file);
        break;
    case kFileCurrent:
        taken = take_current_file(name, file);
        break;
    default:
        save_as_own(name, kTotSettingsPath, text);
        orv_parser_setup(name, board_text, board_id, sub_id, file);
        break;
    }
    if (file) std::fclose(file);
    return taken ? 0 : -1;
}

void setup_change_forget() {
    last_applied.clear();
    for (auto& [cause, kind] : refusals)
        LogLimitedForget(kind);
    refusals.clear();
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

int ReadCurrentSetDate(const char* path, DateTime& dt, FILE* opened) {
    return IniReadFile(
        path, "[ORVCurrent]",
        [&dt](const char* key, const char* value) {
            if (std::strcmp(key, "SetDate") == 0)
                IniParseDate(value, dt);
            else if (std::strcmp(key, "SetTime") == 0)
                IniParseTime(value, dt);
        },
        opened, current_value_ok);
}

int orv_parser_setup(const char* path, const char*, uint8_t board_id, uint8_t, FILE* opened) {
    std::puts("<DBG>pass:orv_parser_setup");
    if (board_id != kTotBoard || !tot_function_enabled()) return 0;
    std::lock_guard lock(tot_mutex);
    tot_read_settings(path, tot_settings, opened);
    tot_log_settings(tot_settings);
    tot_tuner_start(tot_settings);
    tot_step(tot_settings, tot_status);
    return 0;
}
