// Unit paths: where the unit's absolute paths live. On the unit they are used
// as they stand; with ORV_ROOT set they resolve under that sandbox root. All
// file access of the unit goes through the helpers below.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>

// The sandbox root named by ORV_ROOT, empty on the unit.
const std::string& sandbox_root();
bool sandboxed();
// Reads ORV_ROOT again (tests switch between sandboxes).
void sandbox_reload();

// The place of a path: under the sandbox root when sandboxed and the path is
// absolute, else the path as it stands.
std::string unit_path(std::string_view path);

// The unit path prefixes that commands may name ("/var/kelvatro", "/usr/kelvatro",
// "/var/www", "/etc/", "/dev/kelvatro_hwreg0"), mapped into the root wherever
// they begin a word of a command text.
std::string map_unit_paths_in_command(std::string_view command);

// File access on unit paths.
FILE* unit_fopen(const char* path, const char* mode);
int unit_open(const char* path, int flags, mode_t mode = 0);
int unit_access(const char* path, int mode);
int unit_chmod(const char* path, mode_t mode);
int unit_unlink(const char* path);
int unit_mkfifo(const char* path, mode_t mode);
int unit_stat(const char* path, struct stat* st);
int unit_rename(const char* from, const char* to);
int unit_mkdir(const char* path, mode_t mode);
int unit_remove(const char* path);
