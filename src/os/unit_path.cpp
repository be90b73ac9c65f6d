// Unit paths: the one place that knows where the unit's absolute paths live.
// On the unit they stand as they are; under a sandbox root (ORV_ROOT) every
// absolute path resolves inside that root.
#include "os/unit_path.h"

#include <array>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Never destroyed: a thread still running while the process exits (the
// simulator's control reader, the tuner library's) may still resolve a path.
std::string& root_storage() {
    static std::string& root = *new std::string([] {
        const char* env = std::getenv("ORV_ROOT");
        return std::string(env ? env : "");
    }());
    return root;
}

constexpr std::array<std::string_view, 5> kUnitPrefixes = {
    "/var/kelvatro", "/usr/kelvatro", "/var/www", "/etc/", "/dev/kelvatro_hwreg0"};

bool begins_word(std::string_view text, size_t pos) {
    if (pos == 0) return true;
    const char before = text[pos - 1];
    return before == ' ' || before == '\t' || before == '\n' || before == '\r' || before == '\'' ||
           before == '"' || before == '=' || before == '>' || before == '<';
}

bool unit_prefix_at(std::string_view text, size_t pos) {
    for (std::string_view prefix : kUnitPrefixes)
        if (text.substr(pos, prefix.size()) == prefix) return true;
    return false;
}

} // namespace

const std::string& sandbox_root() {
    return root_storage();
}

bool sandboxed() {
    return !sandbox_root().empty();
}

void sandbox_reload() {
    const char* env = std::getenv("ORV_ROOT");
    root_storage() = env ? env : "";
}

std::string unit_path(std::string_view path) {
    if (sandboxed() && !path.empty() && path.front() == '/')
        return sandbox_root() + std::string(path);
    return std::string(path);
}

std::string map_unit_paths_in_command(std::string_view command) {
    if (!sandboxed()) return std::string(command);
    std::string mapped;
    mapped.reserve(command.size() + 64);
    for (size_t i = 0; i < command.size(); ++i) {
        if (command[i] == '/' && begins_word(command, i) && unit_prefix_at(command, i))
            mapped += sandbox_root();
        mapped += command[i];
    }
    return mapped;
}

FILE* unit_fopen(const char* path, const char* mode) {
    return std::fopen(unit_path(path).c_str(), mode);
}

int unit_open(const char* path, int flags, mode_t mode) {
    return ::open(unit_path(path).c_str(), flags, mode);
}

int unit_access(const char* path, int mode) {
    return ::access(unit_path(path).c_str(), mode);
}

int unit_chmod(const char* path, mode_t mode) {
    return ::chmod(unit_path(path).c_str(), mode);
}

int unit_unlink(const char* path) {
    return ::unlink(unit_path(path).c_str());
}

int unit_mkfifo(const char* path, mode_t mode) {
    return ::mkfifo(unit_path(path).c_str(), mode);
}

int unit_stat(const char* path, struct stat* st) {
    return ::stat(unit_path(path).c_str(), st);
}

int unit_rename(const char* from, const char* to) {
    return std::rename(unit_path(from).c_str(), unit_path(to).c_str());
}

int unit_mkdir(const char* path, mode_t mode) {
    return ::mkdir(unit_path(path).c_str(), mode);
}

int unit_remove(const char* path) {
    return std::remove(unit_path(path).c_str());
}
