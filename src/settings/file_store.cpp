// The unit's files on the disk: every file written whole through the atomic
// writer, a failure logged once where it happens (and a run of failures of one
// file once); settings files with their SD copies; the check of a settings
// file at start, with its restore from the SD copy.
#include "settings/file_store.h"

#include "log/status_log.h"
#include "os/file_access.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/ini.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file of the system's own configuration: root writes it, all may read it.
constexpr FileAccess kSystemFileAccess{0644, 0};

// The files whose writes fail, each with its run of failures, logged once a run.
std::map<std::string, LogRepeat, std::less<>> failing_writes;
std::mutex failing_writes_lock;

std::string sd_copy_of(const char* path) {
    const std::string_view name =
        std::string_view(path).substr(std::string_view(path).rfind('/') + 1);
    return std::string(kSdConfDir).append(name);
}

// The state of a settings file on the disk: why it is not whole (empty when it
// is) and its text.
struct SettingsFileState {
    std::string problem;
    std::string text;
};

SettingsFileState state_of(const char* path, const SettingsShape& shape) {
    SettingsFileState state;
    struct stat st {};
    if (lstat(unit_path(path).c_str(), &st) != 0) {
        state.problem = errno == ENOENT ? "missing" : std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        state.problem = "not a regular file";
    } else if (!read_whole_file(path, state.text)) {
        state.problem = std::string("unreadable: ") + std::strerror(errno);
    } else {
        state.problem = SettingsTextProblem(state.text, shape);
    }
    return state;
}

} // namespace

int WriteFileReported(const char* path, std::string_view text, FileAccess access, DirSync sync) {
    const bool written = atomic_write_file(path, text, access, sync) == 0;
    const int error = errno;
    std::lock_guard hold(failing_writes_lock);
    if (written) {
        if (const auto run = failing_writes.find(path); run != failing_writes.end()) {
            LogRepeatEnd(run->second);
            failing_writes.erase(run);
        }
        return 0;
    }
    LogRepeated(failing_writes[path], 3, "Cannot write %s: %s\n", LogEscaped(path).c_str(),
                std::strerror(error));
    return -1;
}

int CopyFileReported(const char* from, const char* to) {
    std::string text;
    if (!read_whole_file(from, text)) {
        LogPrint(LOG_TO_BOTH, 3, "Cannot read %s: %s\n", from, std::strerror(errno));
        return -1;
    }
    std::string target = to;
    struct stat target_st {};
    if (!target.ends_with('/') && unit_stat(to, &target_st) == 0 && S_ISDIR(target_st.st_mode))
        target += '/';
    if (target.ends_with('/'))
        target += std::string_view(from).substr(std::string_view(from).rfind('/') + 1);
    return WriteFileReported(target.c_str(), text, kSystemFileAccess, DirSync::yes);
}

int WriteSystemConfigReported(const char* to, std::string_view text) {
    return WriteFileReported(to, text, kSystemFileAccess, DirSync::yes);
}

int WriteSharedFile(const char* path, std::string_view text) {
    return WriteFileReported(path, text, shared_file_access());
}

int WriteSettingsFile(const char* path, std::string_view text) {
    if (WriteFileReported(path, text, shared_file_access(), DirSync::yes) != 0) return -1;
    CopyToSdCard(path, text);
    return 0;
}

int PrintSettingsFile(const char* path, const std::function<void(FILE*)>& print) {
    std::string text;
    return print_to_text(text, print) ? WriteSettingsFile(path, text) : -1;
}

void ClearFilePlace(const char* path) {
    struct stat st {};
    if (lstat(unit_path(path).c_str(), &st) != 0 || S_ISREG(st.st_mode)) return;
    const std::string moved = move_aside(path);
    if (moved.empty())
        LogPrint(LOG_TO_BOTH, 3, "%s is no regular file and cannot be moved aside: %s\n", path,
                 std::strerror(errno));
    else
        LogPrint(LOG_TO_BOTH, 3, "%s was no regular file: moved to %s\n", path, moved.c_str());
}

int CopyToSdCard(const char* path, std::string_view text) {
    const std::string copy = sd_copy_of(path);
    const int result = WriteFileReported(copy.c_str(), text, shared_file_access(), DirSync::yes);
    run_command("sync");
    return result;
}

namespace {

// The length of the UTF-8 sequence that begins the text; 0 when it is not one
// (a stray or overlong sequence, a surrogate, beyond U+10FFFF, or cut).
size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    const unsigned char second = byte(1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

bool valid_utf8(std::string_view text) {
    while (!text.empty()) {
        const size_t length = utf8_sequence_length(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

} // namespace

std::string SettingsTextProblem(std::string_view text, const SettingsShape& shape) {
    if (text.empty()) return "empty";
    if (text.size() > kMaxSettingsSize) return "larger than 64 KiB";
    if (text.find('\0') != std::string_view::npos) return "a NUL byte";
    std::string problem;
    const IniReading reading = IniReadText(
        text, shape.section,
        [&](const char* key, const char* value) {
            if (!problem.empty()) return;
            if (!valid_utf8(key) || !valid_utf8(value))
                problem = "not UTF-8 text";
            else if (shape.whole && shape.value_ok && !shape.value_ok(key, value))
                problem = LogEscaped(std::string(key) + "=" + value, 80) + " refused";
        },
        shape.value_ok);
    if (reading.long_line != 0)
        return "line " + std::to_string(reading.long_line) + " longer than " +
               std::to_string(kIniLineLimit) + " bytes";
    if (!reading.header) return std::string("no ") + shape.section + " header";
    if (problem.empty() && shape.settings_problem) problem = shape.settings_problem(text);
    return problem;
}

void CheckSettingsFile(const char* path, const SettingsShape& shape) {
    const SettingsFileState ram = state_of(path, shape);
    if (ram.problem.empty()) return;
    const std::string copy_path = sd_copy_of(path);
    const SettingsFileState copy = state_of(copy_path.c_str(), shape);
    if (ram.problem == "missing" && copy.problem == "missing") return;

    // What stood there is kept beside it, never lost: what cannot be moved aside
    // stays where it is.
    std::string moved;
    if (ram.problem != "missing") {
        moved = move_aside(path);
        if (moved.empty()) {
            LogPrint(LOG_TO_BOTH, 3,
                     "%s not whole (%s) and cannot be moved aside: %s; left as it is\n", path,
                     ram.problem.c_str(), std::strerror(errno));
            return;
        }
        moved = ", moved to " + moved;
    }
    if (copy.problem.empty()) {
        if (WriteFileReported(path, copy.text, shared_file_access(), DirSync::yes) == 0)
            LogPrint(LOG_TO_BOTH, 3, "%s not whole (%s)%s: restored from %s\n", path,
                     ram.problem.c_str(), moved.c_str(), copy_path.c_str());
        return;
    }
    LogPrint(LOG_TO_BOTH, 3, "%s not whole (%s)%s; nor %s (%s): factory values\n", path,
             ram.problem.c_str(), moved.c_str(), copy_path.c_str(), copy.problem.c_str());
}
