// orvctl: the operator's tool. It reads what the unit publishes (its state,
// settings, answers and status log, under ORV_ROOT in a sandbox) and talks to
// the unit only through the control FIFO.
#include "log/status_log.h"
#include "main/command_answer.h"
#include "main/command_words.h"
#include "main/fifo_framing.h"
#include "main/main_loop.h"
#include "orvctl_status.h"
#include "os/atomic_file.h"
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
    "       orvctl --help | --version\n"
    "\n"
    "  status         the unit's state: serving, reception, last take, delivery,\n"
    "                 NTP daemon and its own answer, network, version (--json: one\n"
    "                 JSON object); exit status 0 serving broadcast time with the\n"
    "                 daemon synchronised, 1 not serving, 2 unknown\n"
    "  wait           returns 0 once the unit serves (status 0), 1 when S seconds\n"
    "                 pass first\n"
    "  send           writes one command into the unit's control FIFO, e.g.\n"
    "                 'orvctl send END', 'orvctl send RESET',\n"
    "                 'orvctl send [SetupChange] /var/kelvatro/conf/Setup_05_01.ini',\n"
    "                 and prints the unit's answer, the lines it logged for it: exit\n"
    "                 status 0 carried out, 1 refused (or not sent, or no answer\n"
    "                 within 30 s); refuses an unknown command word or a control\n"
    "                 character itself (status 2)\n"
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

// Prints a line of the unit's with its control characters escaped as the
// unit's log escapes them (a line from the tuner library or a hand-edited log
// may hold any).
void put_escaped(std::string_view line, bool whole) {
    const std::string text = LogEscapedControls(line);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (whole) std::fputc('\n', stdout);
}

// The answers that the unit has published; false (errno set) when they cannot
// be read, true with none when there are none yet.
bool read_answers(Answers& answers) {
    std::string text;
    answers = Answers{};
    if (!read_whole_file(kAnswersFilePath, text)) return errno == ENOENT;
    answers_parse(text, answers);
    return true;
}

// The answer to the message among those published after `before`, nullptr
// while there is none. A message of the same text that another writer sends
// at the same moment may be taken for this one: its answer is alike.
const CommandAnswer* answer_to(const std::string& message, const Answers& now,
                               const Answers& before) {
    const unsigned long last = before.kept.empty() ? 0 : before.kept.back().number;
    for (const CommandAnswer& answer : now.kept)
        if ((now.pid != before.pid || answer.number > last) && answer.message == message)
            return &answer;
    return nullptr;
}

// Whether a process reads the FIFO (a unit that restarts keeps it).
bool fifo_read(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

double seconds_since(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

// How long a command may take until its answer, a restart of the pass included.
constexpr int kAnswerWaitSeconds = 30;

// Waits for the unit's answer to the message just written and prints the lines
// it logged for it: 0 when the unit carried it out, 1 when it refused it or no
// answer came.
int print_answer(const std::string& message, const Answers& before) {
    const std::string fifo = unit_path(kControlFifoPath);
    const std::string text = answer_message_text(message);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (bool unit_gone = false;;) {
        Answers now;
        if (!read_answers(now))
            return fail("sent; what became of it is unknown to this user: cannot read %s: %s",
                        unit_path(kAnswersFilePath), std::strerror(errno));
        if (const CommandAnswer* answer = answer_to(text, now, before)) {
            for (std::string_view lines = answer->lines; !lines.empty();) {
                const size_t end = lines.find('\n');
                put_escaped(lines.substr(0, end), true);
                lines.remove_prefix(std::min(end + 1, lines.size()));
            }
            if (!answer->carried_out && answer->lines.empty())
                return fail("refused by the unit, which logged nothing for it", "");
            return answer->carried_out ? 0 : 1;
        }
        if (unit_gone) return fail("sent, but the unit ended without answering", "");
        if (seconds_since(start) >= kAnswerWaitSeconds)
            return fail("sent, but the unit has not answered within %s s: see its log (orvctl log)",
                        std::to_string(kAnswerWaitSeconds));
        // An answer published as the unit ended is read once more.
        unit_gone = !fifo_read(fifo) && orvctl_lock_holder() == 0;
        const timespec pause{0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// Opens the FIFO for writing without waiting and without making anything; a
// FIFO that no process reads gives ENXIO. Then prints the unit's answer.
int send(int count, char** words) {
    if (const int refused = refuse_words(count, words)) return refused;
    const std::string path = unit_path(kControlFifoPath);
    const std::string message = message_of(count, words);
    if (message.size() > kMaxMessageSize)
        return fail("message longer than %s bytes: not sent", std::to_string(kMaxMessageSize));
    Answers before;
    const bool answers_readable = read_answers(before);
    const int answers_error = errno;
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    const int open_error = errno;
    if (const long holder = fd < 0 ? orvctl_lock_holder() : 0; holder > 0)
        return fail("%s has no reader: the unit (pid %s) is starting or stopping", path,
                    std::to_string(holder).c_str());
    errno = open_error;
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
    if (!answers_readable)
        return fail("sent; what became of it is unknown to this user: cannot read %s: %s",
                    unit_path(kAnswersFilePath), std::strerror(answers_error));
    return print_answer(message, before);
}

// Copies what the stream holds from its position to standard output, line by
// line, each escaped.
void copy_out(FILE* in) {
    char* line = nullptr;
    size_t size = 0;
    for (ssize_t length; (length = getline(&line, &size, in)) > 0;) {
        const bool whole = line[length - 1] == '\n';
        put_escaped({line, size_t(length - whole)}, whole);
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
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (std::string reason;;) {
        if (orvctl_serving(reason) == 0) return 0;
        if (timeout_s >= 0 && seconds_since(start) >= timeout_s) {
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

// What is wrong with a command line that none of the commands takes.
std::string usage_fault(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    const std::string option = argc > 2 ? argv[2] : "";
    if (command.empty()) return "missing command";
    if (command == "send") return "send: missing command word";
    if (command == "wait" && option == "--timeout")
        return "wait: --timeout takes a number of seconds";
    if (command != "status" && command != "wait" && command != "log")
        return "unknown command '" + command + "'";
    return command + ": " + (argc > 3 ? "too many arguments" : "unknown option '" + option + "'");
}

} // namespace

int main(int argc, char** argv) {
    setenv("TZ", "Asia/Tokyo", 0); // the unit's zone, as its status log shows times
    const std::string_view command = argc > 1 ? argv[1] : "";
    const std::string_view option = argc > 2 ? argv[2] : "";
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::puts("orvctl (orv-main) " ORV_PROGRAM_VERSION);
        return 0;
    }
    if (command == "status" && argc == 2) return orvctl_status(false);
    if (command == "status" && argc == 3 && option == "--json") return orvctl_status(true);
    if (command == "wait" && argc == 2) return wait_serving(-1);
    if (command == "wait" && argc == 4 && option == "--timeout" && timeout_of(argv[3]) >= 0)
        return wait_serving(timeout_of(argv[3]));
    if (command == "send" && argc > 2) return send(argc - 2, argv + 2);
    if (command == "log" && argc == 2) return log(false);
    if (command == "log" && argc == 3 && option == "-f") return log(true);
    std::fprintf(stderr, "orvctl: %s\nTry 'orvctl --help' for more information.\n",
                 usage_fault(argc, argv).c_str());
    return 2;
}
