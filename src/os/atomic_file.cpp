// Files written whole: a temporary file beside the target, flushed and renamed
// over it; reading a regular file whole without following a link; moving a
// thing out of a file's place (the newest few kept); stdio output gathered in
// memory.
#include "os/atomic_file.h"

#include "os/unit_path.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Marks the temporary files of this writer: ".<name>.orv-new.XXXXXX".
constexpr std::string_view kTempMark = ".orv-new.";

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// What was moved aside from a path, newest first: "<path>.aside", ".aside1", ...
constexpr int kAsideKept = 3;

std::string aside_suffix(int n) {
    return n == 0 ? ".aside" : ".aside" + std::to_string(n);
}

// Drops the oldest of what was moved aside from the (host) path and moves the
// others on by one. False, with errno set, when it could not.
bool make_room_aside(const std::string& from) {
    std::error_code error;
    std::filesystem::remove_all(from + aside_suffix(kAsideKept - 1), error);
    errno = error.value();
    if (error) return false;
    for (int n = kAsideKept - 1; n > 0; --n)
        if (rename((from + aside_suffix(n - 1)).c_str(), (from + aside_suffix(n)).c_str()) != 0 &&
            errno != ENOENT)
            return false;
    return true;
}

std::string name_of(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool fill_temp_file(int fd, std::string_view text, FileAccess access) {
    return write_all(fd, text) &&
           (access.group == kKeepGroup || fchown(fd, -1, access.group) == 0) &&
           fchmod(fd, access.mode) == 0 && fsync(fd) == 0;
}

void sync_directory(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

} // namespace

int atomic_write_file(const char* path, std::string_view text, FileAccess access, DirSync sync) {
    const std::string target = unit_path(path);
    const std::string dir = directory_of(target);
    std::string temp = dir + "/." + name_of(target) + std::string(kTempMark) + "XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    bool written = fill_temp_file(fd, text, access);
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && std::rename(temp.c_str(), target.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temp.c_str());
        errno = error;
        return -1;
    }
    if (sync == DirSync::yes) sync_directory(dir);
    return 0;
}

void remove_stale_temp_files(const char* dir) {
    DIR* entries = opendir(unit_path(dir).c_str());
    if (!entries) return;
    while (const dirent* entry = readdir(entries)) {
        const std::string_view name = entry->d_name;
        if (name.starts_with('.') && name.find(kTempMark) != std::string_view::npos)
            unlinkat(dirfd(entries), entry->d_name, 0);
    }
    closedir(entries);
}

bool read_whole_file(const char* path, std::string& text, struct stat* status) {
    const int fd = open(unit_path(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool read_whole = fstat(fd, &st) == 0;
    if (status) *status = st;
    if (read_whole && !S_ISREG(st.st_mode)) {
        read_whole = false;
        errno = EINVAL;
    }
    text.clear();
    char buffer[4096];
    while (read_whole) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) read_whole = false;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    const int error = errno;
    close(fd);
    errno = error;
    return read_whole;
}

std::string move_aside(const char* path) {
    const std::string from = unit_path(path);
    if (!make_room_aside(from) ||
        renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, (from + aside_suffix(0)).c_str(),
                  RENAME_NOREPLACE) != 0)
        return {};
    return path + aside_suffix(0);
}

FILE* text_stream_open(TextStream& stream) {
    stream.file = open_memstream(&stream.data, &stream.size);
    return stream.file;
}

bool text_stream_close(TextStream& stream, std::string& text) {
    if (!stream.file) return false;
    const bool printed = !std::ferror(stream.file);
    const bool closed = std::fclose(stream.file) == 0;
    stream.file = nullptr;
    if (stream.data) text.assign(stream.data, stream.size);
    std::free(stream.data);
    stream.data = nullptr;
    stream.size = 0;
    return printed && closed;
}

bool print_to_text(std::string& text, const std::function<void(FILE*)>& print) {
    TextStream stream;
    FILE* file = text_stream_open(stream);
    if (!file) return false;
    print(file);
    return text_stream_close(stream, text);
}
