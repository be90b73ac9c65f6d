// Files written whole: a new text replaces a file at once (a reader, a crash or
// a full disk leaves the old file or the new one, never a part), files read
// whole without following a link, and things moved out of a file's place.
// Paths are unit paths.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

// The mode a written file gets, and its group (kKeepGroup: the writer's).
struct FileAccess {
    mode_t mode;
    gid_t group;
};
constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);

enum class DirSync { no, yes };

// Writes the text into a temporary file in the file's directory, flushes it to
// the disk (fsync), gives it its access and renames it over the path, which
// replaces a link standing there instead of following it. DirSync::yes flushes
// the directory too, so that the rename survives a power cut. Returns 0, or -1
// with errno set; the old file is then untouched and no temporary file stays.
int atomic_write_file(const char* path, std::string_view text, FileAccess access,
                      DirSync sync = DirSync::no);

// Removes the temporary files that writes cut short by a crash left in a
// directory.
void remove_stale_temp_files(const char* dir);

// Reads a regular file whole, without following a link at its path, and gives
// its status when asked. Returns false (errno set; EINVAL for a file that is not
// regular) when it cannot.
bool read_whole_file(const char* path, std::string& text, struct stat* status = nullptr);

// Renames whatever stands at the path to "<path>.aside" and returns the new
// unit path; empty, with errno set, when it could not. The three newest things
// moved aside from a path are kept: the one before moves on to ".aside1", that
// one to ".aside2", and what stood there is removed.
std::string move_aside(const char* path);

// Output of stdio calls gathered in memory, written out whole when complete.
struct TextStream {
    FILE* file = nullptr;
    char* data = nullptr;
    size_t size = 0;
};
// Opens the stream; nullptr when memory ran out.
FILE* text_stream_open(TextStream& stream);
// Closes the stream and hands over what was printed; false when an output
// failed.
bool text_stream_close(TextStream& stream, std::string& text);
// What the function prints on a stream; false when an output failed.
bool print_to_text(std::string& text, const std::function<void(FILE*)>& print);
