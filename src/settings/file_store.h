// How the unit's files reach the disk: settings files written whole with their
// SD copies, other files written whole, each failure reported once; and the
// check at start that a settings file on the RAM disk is whole.
#pragma once

#include "os/atomic_file.h"
#include "settings/ini.h"

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// Writes a file whole (see atomic_write_file); a failure is logged at level 3
// naming the file, once a run of failures of that file. Returns 0 or -1.
int WriteFileReported(const char* path, std::string_view text, FileAccess access,
                      DirSync sync = DirSync::no);
// Copies a file whole to `to` (a file of the system's configuration under
// /etc): mode 0644, group root, whatever the original's; a directory takes
// the file under its own name. A copy that fails is reported and
// leaves `to` as it was. Returns 0 or -1.
int CopyFileReported(const char* from, const char* to);
// Writes the text as a file of the system's configuration (see above).
int WriteSystemConfigReported(const char* to, std::string_view text);
// A file shared with other local programs (status and function files), with
// their access.
int WriteSharedFile(const char* path, std::string_view text);
// A settings file: written whole on the RAM disk, then as its SD copy. A file
// that cannot be written is reported and never copied. Returns 0 or -1.
int WriteSettingsFile(const char* path, std::string_view text);
// The same for the text that `print` writes into a stream.
int PrintSettingsFile(const char* path, const std::function<void(FILE*)>& print);
// Anything but a regular file at the path (a link, a directory, a FIFO) is
// moved aside and reported, so that a file edited in place is never written
// through it.
void ClearFilePlace(const char* path);
// Writes the text as the SD copy of the settings file at `path` (same name in
// the SD-card settings directory), then runs "sync". Returns 0 or -1.
int CopyToSdCard(const char* path, std::string_view text);

// The largest settings file: one larger is none of the unit's.
constexpr size_t kMaxSettingsSize = 64 * 1024;

// What makes a settings file usable as the unit's: a regular file of at most
// kMaxSettingsSize bytes, of lines of at most kIniLineLimit bytes, keys and
// values after its section header in UTF-8 (what follows a value, a comment,
// is not looked at). Keys may be missing: their readers take the factory
// values; so is a key on a last line cut short whose value its key does not
// take (`value_ok`).
struct SettingsShape {
    const char* section;
    IniValueCheck value_ok = nullptr;
    // Settings taken whole or not at all: one value that its key does not
    // take makes the file unusable.
    bool whole = false;
    // Why the settings of a file whose keys and values pass cannot be used
    // together (empty when they can); none: any.
    std::string (*settings_problem)(std::string_view text) = nullptr;
};

// Why a settings text cannot be used as the unit's; empty when it can.
std::string SettingsTextProblem(std::string_view text, const SettingsShape& shape);

// Before a settings file on the RAM disk is read at start: a file that cannot
// be used as the unit's (or is missing) is moved aside and restored from its
// SD copy when that copy can be used; otherwise its reader writes the factory
// values. Either case logs one level-3 line naming the reason, the .aside file
// and the copy. A file that cannot be moved aside is left as it is (never
// overwritten), with one level-3 line; a readable file, and a file missing in
// both places, are left as they are.
void CheckSettingsFile(const char* path, const SettingsShape& shape);
