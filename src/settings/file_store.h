// How the unit's files reach the disk: settings files written whole with their
// SD copies, other files written whole, each failure reported once; and the
// check at start that a settings file on the RAM disk is whole.
#pragma once

#include "os/atomic_file.h"

#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>

// Writes a file whole (see atomic_write_file); a failure is logged at level 3
// naming the file, once a run of failures of that file. Returns 0 or -1.
int WriteFileReported(const char* path, std::string_view text, FileAccess access,
                      DirSync sync = DirSync::no);
// Copies a file whole to `to`, with the mode of the original (as "cp -p" would
// give it); a directory ending in '/' takes the file under its own name. A copy
// that fails is reported and leaves `to` as it was. Returns 0 or -1.
int CopyFileReported(const char* from, const char* to);
// A file shared with other local programs (status and function files), with
// their access.
int WriteSharedFile(const char* path, std::string_view text);
// A settings file: written whole on the RAM disk, then as its SD copy. A file
// that cannot be written is reported and never copied. Returns 0 or -1.
int WriteSettingsFile(const char* path, std::string_view text);
// The same for the text that `print` writes into a stream.
int PrintSettingsFile(const char* path, const std::function<void(FILE*)>& print);
// Writes the text as the SD copy of the settings file at `path` (same name in
// the SD-card settings directory), then runs "sync". Returns 0 or -1.
int CopyToSdCard(const char* path, std::string_view text);

// What makes a settings file whole: a regular file with its section header
// and, after it, every key that the unit writes.
struct SettingsShape {
    const char* section;
    std::span<const char* const> keys;
};

// Why a settings text is not whole; empty when it is.
std::string SettingsTextProblem(std::string_view text, const SettingsShape& shape);

// Before a settings file on the RAM disk is read at start: a file that is not
// whole (or missing) is restored from its SD copy when that copy is whole;
// otherwise a damaged file is put out of the way, so that its reader writes
// the factory values. Either case logs one level-3 line; a whole file, and a
// file missing in both places, are left as they are.
void CheckSettingsFile(const char* path, const SettingsShape& shape);
