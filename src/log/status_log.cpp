// The status log: every report of the unit, stamped with the local time and a
// severity name, printed on standard output and appended to
// /var/www/StatusLog.txt, which is rotated by size through seven older
// generations. Also empties the status-log archive directory on request, keeps
// a repeating failure to one line per run, and escapes text from outside.
#include "log/status_log.h"

#include "os/atomic_file.h"
#include "os/shell.h"
#include "os/unit_path.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Date and time (19), " <", the longest level name (6), "> " and the message.
constexpr int kLineSize = 19 + 2 + 6 + 2 + kLogMessageSize;
constexpr off_t kRotateSize = 131072;
constexpr mode_t kLogFileMode = 0644;

constexpr std::array<char[8], 8> kLevelNames = {"EMG",  "ALT",    "CRIT", "ERR",
                                                "WARN", "NOTICE", "INF",  "DEBUG"};

// The current file first, then generations 1 (newest) to 7 (oldest).
constexpr std::array<char[64], 8> kLogFiles = {
    "/var/www/StatusLog.txt",  "/var/www/StatusLog1.txt", "/var/www/StatusLog2.txt",
    "/var/www/StatusLog3.txt", "/var/www/StatusLog4.txt", "/var/www/StatusLog5.txt",
    "/var/www/StatusLog6.txt", "/var/www/StatusLog7.txt"};

constexpr const char* kArchiveDir = "/usr/kelvatro/log";

std::mutex log_lock;

const char* level_name(int level) {
    if (level < 0 || level >= 7) return kLevelNames[7];
    return kLevelNames[level];
}

void rotate() {
    for (size_t n = kLogFiles.size() - 1; n >= 1; --n) {
        const int result = unit_rename(kLogFiles[n - 1], kLogFiles[n]);
        std::printf("<Debug> %s : rename(%s, %s)=%d\n", "LogWriteToFile", kLogFiles[n - 1],
                    kLogFiles[n], result == 0 ? 0 : -1);
    }
    std::fflush(stdout);
}

// Opens the current file for appending; anything but a regular file in its
// place (a link, a FIFO, a directory) is neither written through nor waited on.
int open_log() {
    const int fd =
        open(unit_path(kLogFiles[0]).c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLogFileMode);
    struct stat st {};
    if (fd < 0 || (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))) return fd;
    close(fd);
    return -1;
}

// Appends the line. What stands in the file's place and is no regular file is
// moved aside first; `moved` then names where it went.
int append_line(const char* line, std::string& moved) {
    int fd = open_log();
    struct stat st {};
    if (fd < 0 && lstat(unit_path(kLogFiles[0]).c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        moved = move_aside(kLogFiles[0]);
        if (!moved.empty()) fd = open_log();
    }
    if (fd < 0) return -1;
    for (std::string_view rest = line; !rest.empty();) {
        const ssize_t n = write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        rest.remove_prefix(static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

int write_line(const char* line, std::string& moved) {
    std::lock_guard<std::mutex> hold(log_lock);
    if (append_line(line, moved) != 0) {
        std::printf("<Error> %s : Cannot Open %s file.\n", "LogWriteToFile", kLogFiles[0]);
        std::fflush(stdout);
        return -1;
    }
    struct stat st {};
    if (unit_stat(kLogFiles[0], &st) == 0 && st.st_size >= kRotateSize) rotate();
    return 0;
}

// The escape of one character of outside text, or the character itself.
std::string escape_of(char c) {
    switch (c) {
    case '\\':
        return "\\\\";
    case '\t':
        return "\\t";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) return std::string(1, c);
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02X", byte);
    return code;
}

} // namespace

int LogPrint(int outputs, int level, const char* format, ...) {
    char message[kLogMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    const time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);

    char line[kLineSize];
    const int formatted =
        std::snprintf(line, sizeof line, "%04d/%02d/%02d %02d:%02d:%02d <%s> %s",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, level_name(level), message);
    int length = std::min(formatted, kLineSize - 1);
    if (outputs & LOG_TO_CONSOLE) {
        length = std::printf("%s", line);
        std::fflush(stdout);
    }
    if (outputs & LOG_TO_FILE) return LogWriteToFile(line);
    return length;
}

int LogWriteToFile(const char* line) {
    std::string moved;
    const int result = write_line(line, moved);
    if (!moved.empty())
        LogPrint(LOG_TO_BOTH, 3, "%s was no regular file: moved to %s\n", kLogFiles[0],
                 moved.c_str());
    return result;
}

int LogDeleteArchive() {
    run_command(std::string("rm -rf ") + kArchiveDir + "/*");
    return run_command("sync");
}

void LogRepeated(LogRepeat& run, int level, const char* format, ...) {
    if (run.running) {
        ++run.repeats;
        return;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(run.first.data(), run.first.size(), format, args);
    va_end(args);
    run.running = true;
    run.level = level;
    LogPrint(LOG_TO_BOTH, level, "%s", run.first.data());
}

void LogRepeatEnd(LogRepeat& run) {
    if (run.running && run.repeats > 0)
        LogPrint(LOG_TO_BOTH, run.level, "Repeated %lu more times: %s", run.repeats,
                 run.first.data());
    run.running = false;
    run.repeats = 0;
}

std::string LogEscaped(std::string_view text, size_t limit) {
    std::string escaped;
    for (const char c : text) {
        const std::string piece = escape_of(c);
        if (escaped.size() + piece.size() > limit) break;
        escaped += piece;
    }
    return escaped;
}
