// The status log: every report of the unit, stamped with the local time and a
// severity name, printed on standard output and appended to
// /var/www/StatusLog.txt, which is rotated by size through seven older
// generations. Also empties the status-log archive directory on request, keeps
// a repeating failure to one line per run and a line that outside writers can
// cause to one a second, and escapes text from outside.
#include "log/status_log.h"

#include "os/atomic_file.h"
#include "os/file_access.h"
#include "os/pace.h"
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
#include <utility>
#include <vector>

namespace {

// Date and time (19), " <", the longest level name (6), "> " and the message.
constexpr int kLineSize = 19 + 2 + 6 + 2 + kLogMessageSize;
constexpr off_t kRotateSize = 131072;

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

// Gives an open log file the log's access, when it has not got it: root's alone
// to write, read by the web front end (published_file_access).
void restrict_log_file(int fd, const struct stat& st, const char* path) {
    const FileAccess access = published_file_access();
    const bool owner_right =
        access.group == kKeepGroup || (st.st_uid == 0 && st.st_gid == access.group);
    if ((st.st_mode & 07777) == access.mode && owner_right) return;
    if ((!owner_right && fchown(fd, 0, access.group) != 0) || fchmod(fd, access.mode) != 0)
        std::perror(path);
}

// Opens a log file; anything but a regular file of one name in its place (a
// symbolic or hard link, a FIFO, a directory) is neither written through nor
// waited on.
int open_log_file(const char* path, int flags) {
    const int fd = open(unit_path(path).c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                        published_file_access().mode);
    struct stat st {};
    if (fd < 0 || (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1)) {
        if (fd >= 0) restrict_log_file(fd, st, path);
        return fd;
    }
    close(fd);
    return -1;
}

int open_log() {
    return open_log_file(kLogFiles[0], O_WRONLY | O_APPEND | O_CREAT);
}

void rotate() {
    for (size_t n = kLogFiles.size() - 1; n >= 1; --n) {
        const int result = unit_rename(kLogFiles[n - 1], kLogFiles[n]);
        std::printf("<Debug> %s : rename(%s, %s)=%d\n", "LogWriteToFile", kLogFiles[n - 1],
                    kLogFiles[n], result == 0 ? 0 : -1);
        // Generations written before ORV_GROUP changed take the log's access.
        const int fd = open_log_file(kLogFiles[n], O_RDONLY);
        if (fd >= 0) close(fd);
    }
    std::fflush(stdout);
}

// Appends the line. What stands in the file's place and is no regular file of
// its own is moved aside first; `moved` then tells where it went and why.
int append_line(const char* line, std::string& moved) {
    int fd = open_log();
    struct stat st {};
    if (fd < 0 && lstat(unit_path(kLogFiles[0]).c_str(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || st.st_nlink > 1)) {
        const std::string place = move_aside(kLogFiles[0]);
        if (!place.empty()) {
            moved = std::string(S_ISREG(st.st_mode) ? " had a second name (a hard link)"
                                                    : " was no regular file") +
                    ": moved to " + place;
            fd = open_log();
        }
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

// The escape of one byte of outside text: "\xHH".
std::string hex_escape(unsigned char byte) {
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02X", byte);
    return code;
}

// The escape of one ASCII character of outside text, or the character itself.
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
    return hex_escape(byte);
}

// The length of the valid UTF-8 sequence (2 to 4 bytes) that begins the text,
// 0 when none does.
size_t utf8_length(std::string_view text) {
    const auto byte = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || text.size() < length) return 0;
    // The second byte's range shuts out overlong forms, surrogates and code
    // points beyond U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

// The escape of the character that begins the text, and how many bytes of it
// that takes: a C1 control character (U+0080 to U+009F) and a byte that
// begins no valid UTF-8 character are escaped byte by byte.
std::pair<std::string, size_t> escape_first(std::string_view text) {
    if (static_cast<unsigned char>(text[0]) < 0x80) return {escape_of(text[0]), 1};
    const size_t length = utf8_length(text);
    const bool c1 = length == 2 && static_cast<unsigned char>(text[0]) == 0xC2 &&
                    static_cast<unsigned char>(text[1]) <= 0x9F;
    if (length == 0) return {hex_escape(static_cast<unsigned char>(text[0])), 1};
    if (c1)
        return {hex_escape(static_cast<unsigned char>(text[0])) +
                    hex_escape(static_cast<unsigned char>(text[1])),
                2};
    return {std::string(text.substr(0, length)), length};
}

// A kind of line logs nothing for a second after its last line.
constexpr int64_t kFloodQuietUs = 1000000;

std::mutex flood_lock;
std::vector<LogFlood*> flood_kinds;

bool quiet_over(const LogFlood& kind, int64_t now) {
    return now < kind.logged_at || now - kind.logged_at >= kFloodQuietUs;
}

// Logs what the kind held back: the line itself when it was one, else its count.
void log_held(LogFlood& kind, int64_t now) {
    if (kind.held == 1)
        LogPrint(LOG_TO_BOTH, kind.level, "%s", kind.last_held.data());
    else
        LogPrint(LOG_TO_BOTH, kind.level, "Held back %lu more like: %s", kind.held,
                 kind.last_held.data());
    kind.held = 0;
    kind.logged_at = now;
}

// Formats a message into the buffer of kLogMessageSize bytes. A longer one is
// cut and keeps its line end, so that the next line begins a line of its own.
void format_message(char* message, const char* format, va_list args) {
    const int length = std::vsnprintf(message, kLogMessageSize, format, args);
    if (length >= kLogMessageSize) message[kLogMessageSize - 2] = '\n';
}

} // namespace

int LogPrint(int outputs, int level, const char* format, ...) {
    char message[kLogMessageSize];
    va_list args;
    va_start(args, format);
    format_message(message, format, args);
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
    if (!moved.empty()) LogPrint(LOG_TO_BOTH, 3, "%s%s\n", kLogFiles[0], moved.c_str());
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
    format_message(run.first.data(), format, args);
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

void LogLimited(LogFlood& kind, int level, const char* format, ...) {
    if (!kind.listed) {
        std::lock_guard hold(flood_lock);
        flood_kinds.push_back(&kind);
        kind.listed = true;
    }
    const int64_t now = pace_clock_us();
    if (kind.held > 0 && quiet_over(kind, now)) log_held(kind, now);
    va_list args;
    va_start(args, format);
    if (quiet_over(kind, now)) {
        char message[kLogMessageSize];
        format_message(message, format, args);
        LogPrint(LOG_TO_BOTH, level, "%s", message);
        kind.logged_at = now;
    } else {
        format_message(kind.last_held.data(), format, args);
        kind.level = level;
        ++kind.held;
    }
    va_end(args);
}

void LogHeldFlush() {
    const int64_t now = pace_clock_us();
    std::lock_guard hold(flood_lock);
    for (LogFlood* kind : flood_kinds)
        if (kind->held > 0 && quiet_over(*kind, now)) log_held(*kind, now);
}

void LogLimitedForget(LogFlood& kind) {
    std::lock_guard hold(flood_lock);
    std::erase(flood_kinds, &kind);
    kind = LogFlood{};
}

std::string LogEscaped(std::string_view text, size_t limit) {
    std::string escaped;
    while (!text.empty()) {
        const auto [piece, length] = escape_first(text);
        if (escaped.size() + piece.size() > limit) break;
        escaped += piece;
        text.remove_prefix(length);
    }
    return escaped;
}

std::string LogEscapedControls(std::string_view text) {
    std::string escaped;
    while (!text.empty()) {
        const auto [piece, length] = escape_first(text);
        escaped += text[0] == '\\' ? "\\" : piece;
        text.remove_prefix(length);
    }
    return escaped;
}
