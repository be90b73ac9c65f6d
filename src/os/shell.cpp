// The one shell-command runner. On the unit every command goes through the
// shell as it stands. In a sandbox every command is first written to the
// command journal; it is then run, with the unit's paths mapped into the root,
// only when every program it would start is a file or text tool that stays
// inside the root. Everything else (clock, network, power, services) is only
// journaled and counts as done.
#include "os/shell.h"

#include "os/unit_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

int decode_status(int status) {
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// One simple command of a command line: its words with quotes removed and
// redirections left out.
struct SimpleCommand {
    std::vector<std::string> words;
    std::vector<bool> plain; // the word holds no parameter expansion
    std::vector<std::string> redirect_targets;
    bool redirect_unclear = false;
    bool reads_pipe = false;
};

// Splits a command line into simple commands the way sh would, or nothing when
// the line holds anything this reading cannot follow: command substitution,
// subshells, unterminated quotes or a dangling redirection.
class CommandLexer {
  public:
    explicit CommandLexer(std::string_view text) : text_(text) {}

    std::optional<std::vector<SimpleCommand>> run() {
        while (pos_ < text_.size()) {
            if (!step()) return std::nullopt;
        }
        if (!end_command(false)) return std::nullopt;
        return std::move(commands_);
    }

  private:
    bool step() {
        const char c = text_[pos_++];
        switch (c) {
        case ' ':
        case '\t':
            end_word();
            return true;
        case '\n':
        case ';':
            return end_command(false);
        case '|':
            if (peek() == '|') {
                ++pos_;
                return end_command(false);
            }
            return end_command(true);
        case '&':
            if (peek() == '&') ++pos_;
            return end_command(false);
        case '>':
        case '<':
            return redirection();
        case '\'':
            return single_quoted();
        case '"':
            return double_quoted();
        case '\\':
            return escaped();
        case '`':
        case '(':
        case ')':
            return false;
        case '$':
            if (peek() == '(') return false;
            word_plain_ = false;
            add(c);
            return true;
        case '#':
            if (!in_word_) {
                while (pos_ < text_.size() && text_[pos_] != '\n')
                    ++pos_;
                return true;
            }
            add(c);
            return true;
        default:
            add(c);
            return true;
        }
    }

    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    void add(char c) {
        in_word_ = true;
        word_ += c;
    }

    bool redirection() {
        // A word of digits just before the operator names a descriptor.
        if (in_word_ && word_plain_ && word_.find_first_not_of("0123456789") == std::string::npos) {
            word_.clear();
            in_word_ = false;
        }
        end_word();
        if (pending_redirect_) return false;
        const char next = peek();
        if (next == '>' || next == '&' || next == '|' || next == '<') ++pos_;
        pending_redirect_ = true;
        return true;
    }

    bool single_quoted() {
        in_word_ = true;
        const size_t close = text_.find('\'', pos_);
        if (close == std::string_view::npos) return false;
        word_.append(text_.substr(pos_, close - pos_));
        pos_ = close + 1;
        return true;
    }

    bool double_quoted() {
        in_word_ = true;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (c == '`') return false;
            if (c == '$') {
                if (peek() == '(') return false;
                word_plain_ = false;
            }
            if (c == '\\' && pos_ < text_.size() &&
                std::string_view("\\\"$`\n").find(text_[pos_]) != std::string_view::npos) {
                word_ += text_[pos_++];
                continue;
            }
            word_ += c;
        }
        return false;
    }

    bool escaped() {
        if (pos_ >= text_.size()) return false;
        const char c = text_[pos_++];
        if (c != '\n') add(c);
        return true;
    }

    void end_word() {
        if (!in_word_) return;
        if (pending_redirect_) {
            current_.redirect_targets.push_back(word_);
            current_.redirect_unclear |= !word_plain_;
            pending_redirect_ = false;
        } else {
            current_.words.push_back(word_);
            current_.plain.push_back(word_plain_);
        }
        word_.clear();
        in_word_ = false;
        word_plain_ = true;
    }

    bool end_command(bool next_reads_pipe) {
        end_word();
        if (pending_redirect_) return false;
        if (!current_.words.empty())
            commands_.push_back(std::move(current_));
        else if (next_reads_pipe)
            return false; // a pipe with nothing before it
        current_ = SimpleCommand{};
        current_.reads_pipe = next_reads_pipe;
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string word_;
    bool in_word_ = false;
    bool word_plain_ = true;
    bool pending_redirect_ = false;
    SimpleCommand current_;
    std::vector<SimpleCommand> commands_;
};

// Decides whether a mapped command line keeps to file and text work inside the
// sandbox root.
class SandboxPolicy {
  public:
    SandboxPolicy() {
        std::error_code ec;
        cwd_ = fs::current_path(ec);
        root_ = fs::absolute(sandbox_root(), ec).lexically_normal();
        if (!root_.has_filename()) root_ = root_.parent_path();
    }

    bool allows(const std::vector<SimpleCommand>& commands) {
        const SimpleCommand* before = nullptr;
        for (const SimpleCommand& cmd : commands) {
            const SimpleCommand* feeder = cmd.reads_pipe ? before : nullptr;
            if (!redirects_inside_root(cmd) || !allows(cmd, 0, feeder, false)) return false;
            before = &cmd;
        }
        return true;
    }

  private:
    // `feeder` is the command whose output this one reads through a pipe.
    bool allows(const SimpleCommand& cmd, size_t first, const SimpleCommand* feeder,
                bool under_xargs) {
        if (first >= cmd.words.size() || !cmd.plain[first]) return false;
        const std::string& program = cmd.words[first];
        if (program.find_first_of("*?[") != std::string::npos) return false;
        if (program == "cd") return change_directory(cmd, first);
        if (program == "rm" || program == "cp" || program == "tar")
            return !under_xargs && files_inside_root(cmd, first);
        if (program == "sed") return absolute_files_inside_root(cmd, first);
        if (program == "xargs") return !under_xargs && xargs_allows(cmd, first);
        if (program == "sh" || program == "/bin/sh") return shell_allows(cmd, first, feeder);
        if (program == "awk") return awk_allows(cmd, first);
        if (program == "kill") return kill_allows(cmd, first);
        static constexpr std::string_view kTools[] = {"sync", "grep", "egrep", "echo", "ps"};
        for (std::string_view tool : kTools)
            if (program == tool) return true;
        return false;
    }

    // Only a change into an existing directory of the sandbox is followed, so
    // that the programs after it never work in a directory of the host.
    bool change_directory(const SimpleCommand& cmd, size_t first) {
        if (first + 2 != cmd.words.size() || !cmd.plain[first + 1]) return false;
        const std::string& dir = cmd.words[first + 1];
        if (dir.empty() || !within_root(dir, true)) return false;
        std::error_code ec;
        const fs::path target = (cwd_ / dir).lexically_normal();
        if (!fs::is_directory(target, ec)) return false;
        cwd_ = target;
        return true;
    }

    // Whether a path, relative ones taken from the followed directory, lies
    // inside the root (or is the root itself, when allowed).
    bool within_root(const std::string& path, bool root_itself) const {
        if (cwd_.empty() && path.front() != '/') return false;
        fs::path full = (cwd_ / path).lexically_normal();
        if (!full.has_filename()) full = full.parent_path();
        const auto [root_end, rest] =
            std::mismatch(root_.begin(), root_.end(), full.begin(), full.end());
        if (root_end != root_.end()) return false;
        return root_itself || rest != full.end();
    }

    // Descriptor duplications, /dev/null and files inside the root.
    bool redirects_inside_root(const SimpleCommand& cmd) const {
        if (cmd.redirect_unclear) return false;
        for (const std::string& target : cmd.redirect_targets) {
            if (target == "-" || target == "/dev/null") continue;
            if (target.find_first_not_of("0123456789") == std::string::npos) continue;
            if (!within_root(target, false)) return false;
        }
        return true;
    }

    // Tools that write or remove the files they name: every name lies inside the root.
    bool files_inside_root(const SimpleCommand& cmd, size_t first) const {
        for (size_t i = first + 1; i < cmd.words.size(); ++i) {
            const std::string& word = cmd.words[i];
            if (!cmd.plain[i] || word.empty()) return false;
            if (word.front() == '-') continue;
            if (!within_root(word, false)) return false;
        }
        return true;
    }

    // sed edits in place: its absolute file names lie inside the root.
    bool absolute_files_inside_root(const SimpleCommand& cmd, size_t first) const {
        for (size_t i = first + 1; i < cmd.words.size(); ++i)
            if (cmd.words[i].starts_with('/') && !within_root(cmd.words[i], false)) return false;
        return true;
    }

    // awk only prints: no commands, pipes or output files from its program.
    static bool awk_allows(const SimpleCommand& cmd, size_t first) {
        for (size_t i = first + 1; i < cmd.words.size(); ++i)
            if (cmd.words[i].find("system") != std::string::npos ||
                cmd.words[i].find_first_of("|>") != std::string::npos)
                return false;
        return true;
    }

    static bool prints_kill_lines(const SimpleCommand& cmd) {
        return cmd.words.size() == 2 && cmd.words[0] == "awk" &&
               cmd.words[1].starts_with("{print \"kill \"");
    }

    // A signal option, then process ids other than init and the process groups.
    static bool kill_allows(const SimpleCommand& cmd, size_t first) {
        for (size_t i = first + 1; i < cmd.words.size(); ++i) {
            const std::string& word = cmd.words[i];
            if (i == first + 1 && word.size() > 1 && word.front() == '-' && word != "--") continue;
            if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos ||
                std::strtoul(word.c_str(), nullptr, 10) <= 1)
                return false;
        }
        return true;
    }

    bool xargs_allows(const SimpleCommand& cmd, size_t first) {
        static constexpr std::string_view kWithArgument[] = {"-a", "-d", "-E", "-I",
                                                             "-L", "-n", "-P", "-s"};
        size_t i = first + 1;
        while (i < cmd.words.size() && cmd.words[i].size() > 1 && cmd.words[i].front() == '-') {
            bool takes_argument = false;
            for (std::string_view option : kWithArgument)
                takes_argument |= cmd.words[i] == option;
            i += takes_argument ? 2 : 1;
        }
        if (i >= cmd.words.size()) return true; // echo
        return allows(cmd, i, nullptr, true);
    }

    // A script inside the root, or the kill lines that awk prints.
    bool shell_allows(const SimpleCommand& cmd, size_t first, const SimpleCommand* feeder) const {
        if (first + 1 >= cmd.words.size()) return feeder && prints_kill_lines(*feeder);
        const std::string& script = cmd.words[first + 1];
        if (!cmd.plain[first + 1] || script.empty() || script.front() == '-') return false;
        return within_root(script, false);
    }

    fs::path cwd_;
    fs::path root_;
};

bool runs_in_sandbox(const std::string& mapped) {
    const auto commands = CommandLexer(mapped).run();
    return commands && SandboxPolicy().allows(*commands);
}

int run_shell(const std::string& command) {
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

} // namespace

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
    const std::string mapped = map_unit_paths_in_command(command);
    if (!runs_in_sandbox(mapped)) return 0;
    return run_shell(mapped);
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
