// The one shell-command runner. On the unit every command goes through the
// shell as it stands. In a sandbox every command is first written to the
// command journal; what then becomes of it is the sandbox runner's choice
// (the simulator's guarded shell runs file and text work inside the root);
// by default nothing runs and the command counts as done.
#include "os/shell.h"

#include "os/unit_path.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int decode_status(int status) {
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A sandboxed command that no runner was installed for: journaled only.
int journal_only(const std::string&) {
    return 0;
}

std::atomic<SandboxRunner> installed_runner{journal_only};
std::atomic<SandboxRunner> sandbox_runner{journal_only};

} // namespace

int run_through_shell(const std::string& command) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return decode_status(status);
}

void shell_install_sandbox_runner(SandboxRunner runner) {
    installed_runner = runner ? runner : journal_only;
    sandbox_runner = installed_runner.load();
}

void shell_set_sandbox_runner(SandboxRunner runner) {
    sandbox_runner = runner ? runner : installed_runner.load();
}

void journal_command(std::string_view text) {
    if (!sandboxed()) return;
    const std::string dir = sandbox_root() + "/sim";
    mkdir(dir.c_str(), 0755);
    timeval now{};
    gettimeofday(&now, nullptr);
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%lld.%06ld ", static_cast<long long>(now.tv_sec),
                  static_cast<long>(now.tv_usec));
    std::string line = stamp;
    line.append(text);
    line += '\n';
    const int fd =
        open((dir + "/commands.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

int run_command(const std::string& command) {
    if (!sandboxed()) {
        std::fflush(nullptr);
        return decode_status(std::system(command.c_str()));
    }
    journal_command(command);
    return sandbox_runner.load()(command);
}

std::string shell_quote(std::string_view path) {
    constexpr std::string_view kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789/._+,:@%=-";
    if (!path.empty() && path.find_first_not_of(kPlain) == std::string_view::npos)
        return std::string(path);
    std::string quoted = "'";
    for (const char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string format_command(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}
