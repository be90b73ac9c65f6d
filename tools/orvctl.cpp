// orvctl: the operator's tool. It reads what the unit publishes (its state,
// settings and status log, under ORV_ROOT in a sandbox) and talks to the unit
// only through the control FIFO.
#include "log/status_log.h"
#include "main/command_words.h"
#include "main/fifo_framing.h"
#include "main/main_loop.h"
#include "orvctl_status.h"
#include "os/unit_path.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kStatusLog = "/var/www/StatusLog.txt";
constexpr const char* kUsage =
    "Usage: orvctl status [--json]\n"
    "       orvctl wait [--timeout S]\n"
    "       orvctl send COMMAND [ARGUMENT...]\n"
    "       orvctl log [-f]\n"
    "       orvctl --help\n"
    "\n"
    "  status         the unit's state: serving, reception, last take, delivery,\n"
    "                 NTP daemon and its own answer, network, version (--json: one\n"
    "                 JSON object); exit status 0 serving broadcast time with the\n"
    "                 daemon synchronised, 1 not serving, 2 unknown\n"
    "  wait           returns 0 once the unit serves (status 0), 1 when S seconds\n"
    "                 pass first\n"
    "  send           writes one command into the unit's control FIFO, e.g.\n"
    "                 'orvctl send END', 'orvctl send RESET',\n"
    "                 'orvctl send [SetupChange] /var/kelvatro/conf/Setup_05_01.ini';\n"
    "                 refuses an unknown command word or a control character\n"
    "                 (status 2); fails when no unit reads the FIFO\n"
    "  log            prints the status log (-f: then follows it, as tail -f)\n"
    "\n"
    "ORV_ROOT, when set, is the sandbox root that every path of the unit lies under.\n";

int fail(const char* format, const std::string& a, const char* b = "", int status = 1) {
    std::fprintf(stderr, "orvctl: ");
    std::fprintf(stderr, format, a.c_str(), b);
    std::fputc('\n', stderr);
    return status;
}

// A command the unit would ignore, or an argument that could end the message
// early and begin another command: refused with status 2.
int refuse_words(int count, char** words) {
    if (!is_command_word(words[0]))
        return fail("unknown command %s: not sent (the unit takes: %s)", words[0],
                    command_words().c_str(), 2);
    for (int i = 0; i < count; ++i)
        if (LogEscapedControls(words[i]) != words[i])
            return fail("argument %s holds a control character: not sent", std::to_string(i), "",
                        2);
    return 0;
}

// The words joined by blanks, one line; a setup change names its file on the
// line after.
std::string message_of(int count, char** words) {
    std::string message = words[0];
    if (message == "[SetupChange]" && count == 2) return message + "\nFileName=" + words[1] + "\n";
    for (int i = 1; i < count; ++i)
        message += std::string(" ") + words[i];
    return message + "\n";
}

// Opens the FIFO for writing without waiting and without making anything; a
// FIFO that no process reads gives ENXIO.
int send(int count, char** words) {
    if (const int refused = refuse_words(count, words)) return refused;
    const std::string path = unit_path(kControlFifoPath);
    const std::string message = message_of(count, words);
    if (message.size() > kMaxMessageSize)
        return fail("message longer than %s bytes: not sent", std::to_string(kMaxMessageSize));
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO) return fail("%s has no reader: the unit is not running", path);
    if (fd < 0 && errno == ENOENT) return fail("%s does not exist: the unit is not running", path);
    if (fd < 0) return fail("cannot open %s: %s", path, std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        return fail("%s is not a FIFO: nothing sent", path);
    }
    const ssize_t written = write(fd, message.data(), message.size());
    const int error = errno;
    close(fd);
    if (written != ssize_t(message.size()))
        return fail("cannot write into %s: %s", path,
                    written < 0 ? std::strerror(error) : "written in part");
    return 0;
}

// Copies what the stream holds from its position to standard output, line by
// line, each with its control characters escaped as the unit's log escapes
// them (a line from the tuner library or a hand-edited log may hold any).
void copy_out(FILE* in) {
    char* line = nullptr;
    size_t size = 0;
    for (ssize_t length; (length = getline(&line, &size, in)) > 0;) {
        const bool whole = line[length - 1] == '\n';
        const std::string text = LogEscapedControls({line, size_t(length - whole)});
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (whole) std::fputc('\n', stdout);
    }
    std::free(line);
    std::clearerr(in);
    std::fflush(stdout);
}

// Prints the status log; following, waits for more and, when the log is
// rotated (another file at its path, or a shorter one), goes on from the start
// of the new file.
int log(bool follow) {
    const std::string path = unit_path(kStatusLog);
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in && !follow) return fail("cannot open %s: %s", path, std::strerror(errno));
    while (true) {
        if (in) copy_out(in);
        if (!follow) break;
        const timespec pause{0, 200 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        struct stat now {
        }, open_one{};
        if (stat(path.c_str(), &now) != 0) continue;
        const bool rotated = !in || fstat(fileno(in), &open_one) != 0 ||
                             now.st_ino != open_one.st_ino || now.st_size < std::ftell(in);
        if (!rotated) continue;
        if (in) {
            copy_out(in); // the rest of the old file
            std::fclose(in);
        }
        in = std::fopen(path.c_str(), "r");
    }
    std::fclose(in);
    return 0;
}

// Asks every second until the unit serves, or the timeout (negative: none)
// has passed.
int wait_serving(double timeout_s) {
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (std::string reason;;) {
        if (orvctl_serving(reason) == 0) return 0;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double waited_s =
            double(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
        if (timeout_s >= 0 && waited_s >= timeout_s) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", timeout_s);
            return fail("not serving within %s s: %s", limit, reason.c_str());
        }
        const timespec pause{1, 0};
        nanosleep(&pause, nullptr);
    }
}

// The seconds of --timeout S, or -1 when the argument is not a number of
// seconds.
double timeout_of(const char* text) {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    return end != text && *end == 0 && seconds >= 0 ? seconds : -1;
}

} // namespace

int main(int argc, char** argv) {
    setenv("TZ", "Asia/Tokyo", 0); // the unit's zone, as its status log shows times
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "status" && argc == 2) return orvctl_status(false);
    if (command == "status" && argc == 3 && std::string_view(argv[2]) == "--json")
        return orvctl_status(true);
    if (command == "wait" && argc == 2) return wait_serving(-1);
    if (command == "wait" && argc == 4 && std::string_view(argv[2]) == "--timeout" &&
        timeout_of(argv[3]) >= 0)
        return wait_serving(timeout_of(argv[3]));
    if (command == "send" && argc > 2) return send(argc - 2, argv + 2);
    if (command == "log" && argc == 2) return log(false);
    if (command == "log" && argc == 3 && std::string_view(argv[2]) == "-f") return log(true);
    std::fputs(kUsage, stderr);
    return 2;
}
