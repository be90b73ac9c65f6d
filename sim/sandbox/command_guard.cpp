// The sandbox's guard on shell commands. A command line is split into simple
// commands the way sh would; each must start a known file or text tool whose
// file names (as written and with their links followed), options and
// redirections keep inside the sandbox root, which cannot be talked into
// starting another program, and which signals only processes of this sandbox;
// an archive is unpacked only when none of its members leads out of the
// directory it is unpacked in; an update's signature is checked by sqv on
// files of the root. Everything else is refused.
#include "command_guard.h"

#include "os/tar_listing.h"
#include "os/unit_path.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The only awk program: the kill lines of the end script's processes.
constexpr std::string_view kKillLines = "{print \"kill \", $1}";
constexpr std::string_view kGlobCharacters = "*?[";
// Characters that pass through xargs and every tool as one plain operand.
constexpr std::string_view kPlainName = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789/._+,:@%=-";

// One simple command: its words with quotes removed, redirections apart.
struct SimpleCommand {
    std::vector<std::string> words;
    std::vector<bool> plain; // the shell expands nothing in the word but globs
    std::vector<bool> glob;  // the word holds glob characters the shell expands
    std::vector<std::string> redirect_files;
    size_t start = 0; // where its first word begins in the text
    bool redirect_unclear = false;
    bool reads_pipe = false;
    bool feeds_pipe = false;
};

enum class Redirect { none, file, descriptor };

struct Lexer {
    std::string_view text;
    size_t pos = 0;
    std::string word;
    size_t word_start = 0;
    bool in_word = false;
    bool word_plain = true;
    bool word_glob = false;
    Redirect pending = Redirect::none;
    SimpleCommand current;
    std::vector<SimpleCommand> commands;
};

bool all_digits(std::string_view word) {
    return !word.empty() && word.find_first_not_of("0123456789") == std::string_view::npos;
}

char peek(const Lexer& lx) {
    return lx.pos < lx.text.size() ? lx.text[lx.pos] : '\0';
}

// Marks the start of a word at the character just read.
void begin_word(Lexer& lx) {
    if (!lx.in_word) lx.word_start = lx.pos - 1;
    lx.in_word = true;
}

void add(Lexer& lx, char c) {
    begin_word(lx);
    lx.word += c;
}

void end_word(Lexer& lx) {
    if (!lx.in_word) return;
    SimpleCommand& cmd = lx.current;
    if (lx.pending == Redirect::descriptor) {
        cmd.redirect_unclear |= !lx.word_plain || !(lx.word == "-" || all_digits(lx.word));
    } else if (lx.pending == Redirect::file) {
        cmd.redirect_files.push_back(lx.word);
        cmd.redirect_unclear |= !lx.word_plain || lx.word_glob;
    } else {
        if (cmd.words.empty()) cmd.start = lx.word_start;
        cmd.words.push_back(lx.word);
        cmd.plain.push_back(lx.word_plain);
        cmd.glob.push_back(lx.word_glob);
    }
    lx.pending = Redirect::none;
    lx.word.clear();
    lx.in_word = false;
    lx.word_plain = true;
    lx.word_glob = false;
}

bool end_command(Lexer& lx, bool into_pipe) {
    end_word(lx);
    if (lx.pending != Redirect::none) return false;
    if (lx.current.words.empty()) {
        if (into_pipe) return false; // a pipe with nothing before it
    } else {
        lx.current.feeds_pipe = into_pipe;
        lx.commands.push_back(std::move(lx.current));
    }
    lx.current = SimpleCommand{};
    lx.current.reads_pipe = into_pipe;
    return true;
}

bool redirection(Lexer& lx, char op) {
    // A word of digits just before the operator names a descriptor.
    if (lx.in_word && lx.word_plain && all_digits(lx.word)) {
        lx.word.clear();
        lx.in_word = false;
    }
    end_word(lx);
    if (lx.pending != Redirect::none) return false;
    const char next = peek(lx);
    if (op == '<' && next == '<') return false; // here-documents are not followed
    lx.pending = next == '&' ? Redirect::descriptor : Redirect::file;
    if (next == '&' || next == '>' || next == '|') ++lx.pos;
    return true;
}

bool single_quoted(Lexer& lx) {
    begin_word(lx);
    const size_t close = lx.text.find('\'', lx.pos);
    if (close == std::string_view::npos) return false;
    lx.word.append(lx.text.substr(lx.pos, close - lx.pos));
    lx.pos = close + 1;
    return true;
}

bool double_quoted(Lexer& lx) {
    begin_word(lx);
    while (lx.pos < lx.text.size()) {
        const char c = lx.text[lx.pos++];
        if (c == '"') return true;
        if (c == '`' || (c == '$' && peek(lx) == '(')) return false;
        if (c == '$') lx.word_plain = false;
        if (c == '\\' && std::string_view("\\\"$`\n").find(peek(lx)) != std::string_view::npos) {
            lx.word += lx.text[lx.pos++];
            continue;
        }
        lx.word += c;
    }
    return false;
}

bool escaped(Lexer& lx) {
    if (lx.pos >= lx.text.size()) return false;
    const char c = lx.text[lx.pos++];
    if (c != '\n') add(lx, c);
    return true;
}

void comment(Lexer& lx) {
    while (lx.pos < lx.text.size() && lx.text[lx.pos] != '\n')
        ++lx.pos;
}

bool step(Lexer& lx) {
    const char c = lx.text[lx.pos++];
    switch (c) {
    case ' ':
    case '\t':
        end_word(lx);
        return true;
    case '\n':
    case ';':
        return end_command(lx, false);
    case '|':
        if (peek(lx) != '|') return end_command(lx, true);
        ++lx.pos;
        return end_command(lx, false);
    case '&':
        if (peek(lx) != '&') return false; // background jobs are not followed
        ++lx.pos;
        return end_command(lx, false);
    case '>':
    case '<':
        return redirection(lx, c);
    case '\'':
        return single_quoted(lx);
    case '"':
        return double_quoted(lx);
    case '\\':
        return escaped(lx);
    case '`':
    case '(':
    case ')':
        return false;
    case '$':
        if (peek(lx) == '(') return false;
        lx.word_plain = false;
        break;
    case '~':
    case '{': // brace expansion in shells that have it
        lx.word_plain = false;
        break;
    case '*':
    case '?':
    case '[':
        lx.word_glob = true;
        break;
    case '#':
        if (!lx.in_word) {
            comment(lx);
            return true;
        }
        break;
    }
    add(lx, c);
    return true;
}

bool split_commands(Lexer& lx) {
    while (lx.pos < lx.text.size())
        if (!step(lx)) return false;
    return end_command(lx, false);
}

// The guard's walk through a command line: the root as written and with its
// links followed, the directory the shell will be in, and the commands of the
// pipeline so far.
struct Walk {
    fs::path root;
    fs::path real_root;
    fs::path cwd;
    std::vector<const SimpleCommand*> pipeline;
    std::string_view text;
    std::vector<size_t>* scripts = nullptr; // where scripts are started; none: refused
};

// Whether a normal absolute path lies inside a root (or is the root itself,
// when allowed).
bool inside(const fs::path& root, fs::path path, bool root_itself) {
    if (!path.has_filename()) path = path.parent_path();
    const auto [root_end, rest] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return root_end == root.end() && (root_itself || rest != path.end());
}

// Whether a path, relative ones taken from the walk's directory, lies inside
// the root as written and where the links on its way lead.
bool within_root(const Walk& w, const std::string& path, bool root_itself) {
    if (path.empty() || (w.cwd.empty() && path.front() != '/')) return false;
    const fs::path full = w.cwd / path;
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(full, ec);
    return !ec && inside(w.root, full.lexically_normal(), root_itself) &&
           inside(w.real_root, real, root_itself);
}

// A pattern that the shell expands inside one directory of the root: glob
// characters in the last component only, which begins with neither a dot nor
// a bracket, so that it matches neither "." nor "..".
bool glob_within_root(const Walk& w, const std::string& pattern) {
    const size_t slash = pattern.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
    const std::string_view last = std::string_view(pattern).substr(dir == "." ? 0 : slash + 1);
    return dir.find_first_of(kGlobCharacters) == std::string::npos && !last.empty() &&
           last.front() != '.' && last.front() != '[' && within_root(w, dir, true);
}

// A bundle of single-letter options, each one of the given letters.
bool flag_word(std::string_view word, std::string_view letters) {
    if (word.starts_with('-')) word.remove_prefix(1);
    return !word.empty() && word.find_first_not_of(letters) == std::string_view::npos;
}

bool redirects_inside_root(const Walk& w, const SimpleCommand& cmd) {
    if (cmd.redirect_unclear) return false;
    return std::all_of(cmd.redirect_files.begin(), cmd.redirect_files.end(),
                       [&](const auto& f) { return f == "/dev/null" || within_root(w, f, false); });
}

// Only a change into an existing directory of the root in the shell itself
// (not in a pipeline's subshell) is followed.
bool change_directory(Walk& w, const SimpleCommand& cmd) {
    if (cmd.words.size() != 2 || !cmd.plain[1] || cmd.reads_pipe || cmd.feeds_pipe) return false;
    const std::string& dir = cmd.words[1];
    if (!dir.starts_with('/') || !within_root(w, dir, true)) return false;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return false;
    w.cwd = fs::path(dir).lexically_normal();
    return true;
}

// rm and cp: flag options only, every name inside the root; rm also takes
// patterns that expand inside the root.
bool names_inside_root(const Walk& w, const SimpleCommand& cmd, std::string_view flags) {
    const bool patterns = cmd.words[0] == "rm";
    for (size_t i = 1; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (!cmd.plain[i]) return false;
        if (word.starts_with('-')) {
            if (!flag_word(word, flags)) return false;
        } else if (cmd.glob[i] ? !patterns || !glob_within_root(w, word)
                               : !within_root(w, word, false)) {
            return false;
        }
    }
    return true;
}

// The verbose listing of an archive by tar itself (compression recognised by
// tar), names and link targets in C quotes; nothing when tar fails on it.
std::optional<std::string> archive_listing(const fs::path& archive) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string file = archive.string();
    const char* argv[] = {"tar",           "--list",
                          "--verbose",     "--numeric-owner",
                          "--full-time",   "--quoting-style=c",
                          "--force-local", "--file",
                          file.c_str(),    nullptr};
    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, "tar", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string listing;
    char chunk[4096];
    for (ssize_t n; spawned == 0 && (n = read(out[0], chunk, sizeof chunk)) != 0;)
        if (n > 0) listing.append(chunk, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return std::nullopt;
    return listing;
}

// An archive unpacked in the walk's directory: every member lands inside it,
// links of the archive's own lead nowhere else and are not passed through, and
// no link already on disk leads a member out of the root.
bool members_stay_inside(const Walk& w, const fs::path& archive) {
    const auto listing = archive_listing(archive);
    const auto members = listing ? tar_members(*listing) : std::nullopt;
    return members &&
           !tar_member_leading_out(*members, [&w](const std::string& place, bool itself) {
               return within_root(w, place.empty() ? "." : place, itself);
           });
}

// tar works in the directory it is in, which must lie in the root: bundled
// flags that neither run programs nor change directory, the long options of
// the unit's listing and unpacking, local archives only. What it unpacks is
// named with f (the last flag of its bundle) and keeps inside that directory.
bool tar_allows(const Walk& w, const SimpleCommand& cmd) {
    if (!within_root(w, ".", true)) return false;
    static const std::set<std::string_view> long_options = {"--no-same-owner", "--numeric-owner",
                                                            "--full-time", "--quoting-style=c"};
    bool extracts = false;
    std::optional<std::string> archive;
    for (size_t i = 1; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (!cmd.plain[i]) return false;
        if (long_options.contains(word)) continue;
        if (i == 1 || word.starts_with('-')) {
            if (!flag_word(word, "cxtzjJvpf")) return false;
            extracts |= word.find('x') != std::string::npos;
            if (word.ends_with('f') && i + 1 < cmd.words.size()) archive = cmd.words[i + 1];
        } else if (word.find(':') != std::string::npos || !within_root(w, word, false)) {
            return false;
        }
    }
    return !extracts || (archive && members_stay_inside(w, w.cwd / *archive));
}

// One s command with '/' as its delimiter and no flag that writes a file or
// runs a command.
bool is_substitution(std::string_view script) {
    if (!script.starts_with("s/")) return false;
    int separators = 0;
    size_t i = 2;
    for (; i < script.size() && separators < 2; ++i) {
        if (script[i] == '\\')
            ++i;
        else if (script[i] == '/')
            ++separators;
    }
    return separators == 2 &&
           script.substr(i).find_first_not_of("gpiI0123456789") == std::string_view::npos;
}

// sed only substitutes: its script (given with -e or as the first operand) is
// one s command; its file operands lie inside the root.
bool sed_allows(const Walk& w, const SimpleCommand& cmd, size_t first) {
    bool script = false;
    for (size_t i = first; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (!cmd.plain[i]) return false;
        if (word == "-e" || !(script || word.starts_with('-'))) {
            if (word == "-e" && ++i == cmd.words.size()) return false;
            if (!cmd.plain[i] || !is_substitution(cmd.words[i])) return false;
            script = true;
        } else if (word.starts_with('-') ? !flag_word(word, "inEr")
                                         : !within_root(w, word, false)) {
            return false;
        }
    }
    return script;
}

// grep and egrep: bundles of flags that neither read files of their own nor
// recurse, the pattern (first operand, or given with -e), then files inside
// the root. Every word counts, since grep takes options after operands too.
bool grep_allows(const Walk& w, const SimpleCommand& cmd) {
    bool pattern = false;
    for (size_t i = 1; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (word == "-e") {
            if (pattern || ++i == cmd.words.size() || cmd.words[i].starts_with('-')) return false;
            pattern = true;
        } else if (word.starts_with('-')) {
            if (!flag_word(word, "lvqcFEixnsHh")) return false;
        } else if (!pattern) {
            pattern = true;
        } else if (!cmd.plain[i] || !within_root(w, word, false)) {
            return false;
        }
    }
    return pattern;
}

// A name that xargs hands on as one operand, never as an option.
bool xargs_plain_name(const std::string& name) {
    return !name.empty() && !name.starts_with('-') &&
           name.find_first_not_of(kPlainName) == std::string::npos;
}

// The feeder of xargs sed: grep -l with its pattern and plain names of files
// inside the root, which grep prints as given, so that sed receives some of
// those names and nothing else.
bool lists_files_inside_root(const Walk& w, const SimpleCommand* feeder) {
    if (!feeder || feeder->words.size() < 4 || feeder->words[1] != "-l") return false;
    const std::string& tool = feeder->words[0];
    if ((tool != "grep" && tool != "egrep") || feeder->words[2].starts_with('-')) return false;
    for (size_t i = 3; i < feeder->words.size(); ++i)
        if (!feeder->plain[i] || !xargs_plain_name(feeder->words[i]) ||
            !within_root(w, feeder->words[i], false))
            return false;
    return true;
}

// xargs without options (so no replacement strings), starting echo, or sed
// fed with names of files inside the root. Nothing that takes a program, a
// process or a file to read or write from the input.
bool xargs_allows(const Walk& w, const SimpleCommand& cmd) {
    if (cmd.words.size() == 1) return true; // echo
    const std::string& tool = cmd.words[1];
    if (!cmd.plain[1]) return false;
    if (tool == "echo") return true;
    const SimpleCommand* feeder =
        cmd.reads_pipe && !w.pipeline.empty() ? w.pipeline.back() : nullptr;
    return tool == "sed" && lists_files_inside_root(w, feeder) && sed_allows(w, cmd, 2);
}

// awk only makes the kill lines: any other program may read or write files
// (getline, redirections, ARGV) or run commands. Its files lie in the root.
bool awk_allows(const Walk& w, const SimpleCommand& cmd) {
    if (cmd.words.size() < 2 || !cmd.plain[1] || cmd.words[1] != kKillLines) return false;
    for (size_t i = 2; i < cmd.words.size(); ++i)
        if (!cmd.plain[i] || cmd.words[i].starts_with('-') || !within_root(w, cmd.words[i], false))
            return false;
    return true;
}

// A process started inside this sandbox: its environment names this root.
bool started_in_sandbox(const Walk& w, const std::string& pid) {
    std::ifstream environ("/proc/" + pid + "/environ", std::ios::binary);
    constexpr std::string_view kRootVariable = "ORV_ROOT=";
    for (std::string entry; std::getline(environ, entry, '\0');) {
        if (!entry.starts_with(kRootVariable)) continue;
        std::error_code ec;
        const fs::path root = fs::weakly_canonical(entry.substr(kRootVariable.size()), ec);
        return !ec && root == w.real_root;
    }
    return false;
}

// A signal option, then ids of processes started inside the sandbox.
bool kill_allows(const Walk& w, const SimpleCommand& cmd) {
    for (size_t i = 1; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (i == 1 && word.size() > 1 && word.front() == '-' && word != "--") continue;
        if (!cmd.plain[i] || !all_digits(word) || std::strtoul(word.c_str(), nullptr, 10) <= 1 ||
            !started_in_sandbox(w, word))
            return false;
    }
    return true;
}

// The grep of the kill line: ps lines that name a shell running a script
// inside the root, by its absolute path (a relative one would count from each
// process's own directory).
bool finds_script_of_root(const Walk& w, const SimpleCommand& cmd) {
    constexpr std::string_view kShell = "/bin/sh ";
    const auto& words = cmd.words;
    if ((words[0] != "grep" && words[0] != "egrep") || words.size() != 2 || !cmd.plain[1] ||
        !words[1].starts_with(kShell))
        return false;
    const std::string script = words[1].substr(kShell.size());
    return script.starts_with('/') && within_root(w, script, false);
}

bool drops_grep_lines(const SimpleCommand& cmd) {
    return cmd.words == std::vector<std::string>{"egrep", "-v", "grep"} ||
           cmd.words == std::vector<std::string>{"grep", "-v", "grep"};
}

// The end script's kill line: ps, the lines of shells running a script inside
// the root, those of grep dropped, turned into kill lines by awk. Nothing else
// may feed a shell its commands.
bool feeds_kill_lines(const Walk& w) {
    const auto& pipeline = w.pipeline;
    if (pipeline.size() < 3) return false;
    if (pipeline.front()->words != std::vector<std::string>{"ps"}) return false;
    const auto& awk = pipeline.back()->words;
    if (awk.size() != 2 || awk[0] != "awk" || awk[1] != kKillLines) return false;
    for (const SimpleCommand* cmd : pipeline)
        if (!cmd->redirect_files.empty()) return false;
    return finds_script_of_root(w, *pipeline[1]) &&
           std::all_of(pipeline.begin() + 2, pipeline.end() - 1,
                       [](const SimpleCommand* cmd) { return drops_grep_lines(*cmd); });
}

// The kill lines of the end script; or a script inside the root, which is
// never run: its start (the shell's name as written, unquoted) is handed back
// to be replaced.
bool shell_allows(const Walk& w, const SimpleCommand& cmd) {
    if (cmd.words.size() == 1)
        return cmd.reads_pipe && cmd.redirect_files.empty() && feeds_kill_lines(w);
    const std::string& script = cmd.words[1];
    if (!w.scripts || !w.text.substr(cmd.start).starts_with(cmd.words[0]) || !cmd.plain[1] ||
        script.starts_with('-') || !within_root(w, script, false))
        return false;
    w.scripts->push_back(cmd.start);
    return true;
}

// sqv only verifies and writes nothing: keyrings given as --keyring=FILE,
// then after "--" the signature and the signed file, every file in the root.
bool sqv_allows(const Walk& w, const SimpleCommand& cmd) {
    constexpr std::string_view kKeyring = "--keyring=";
    size_t i = 1;
    for (; i < cmd.words.size() && cmd.words[i].starts_with(kKeyring); ++i)
        if (!within_root(w, cmd.words[i].substr(kKeyring.size()), false)) return false;
    if (i + 3 != cmd.words.size() || cmd.words[i] != "--") return false;
    return std::all_of(cmd.plain.begin(), cmd.plain.end(), [](bool plain) { return plain; }) &&
           within_root(w, cmd.words[i + 1], false) && within_root(w, cmd.words[i + 2], false);
}

bool program_allows(Walk& w, const SimpleCommand& cmd) {
    if (!cmd.plain[0]) return false;
    const std::string& program = cmd.words[0];
    // Only rm takes patterns (and checks them); for every other tool a pattern
    // could expand to names outside the root.
    if (program != "rm" && std::find(cmd.glob.begin(), cmd.glob.end(), true) != cmd.glob.end())
        return false;
    if (program == "cd") return change_directory(w, cmd);
    if (program == "rm") return names_inside_root(w, cmd, "rfR");
    if (program == "cp") return names_inside_root(w, cmd, "pfrRa");
    if (program == "tar") return tar_allows(w, cmd);
    if (program == "sqv") return sqv_allows(w, cmd);
    if (program == "sed") return sed_allows(w, cmd, 1);
    if (program == "xargs") return xargs_allows(w, cmd);
    if (program == "sh" || program == "/bin/sh") return shell_allows(w, cmd);
    if (program == "awk") return awk_allows(w, cmd);
    if (program == "kill") return kill_allows(w, cmd);
    if (program == "grep" || program == "egrep") return grep_allows(w, cmd);
    return program == "sync" || program == "echo" || program == "ps";
}

Walk start_walk() {
    Walk w;
    std::error_code ec;
    w.cwd = fs::current_path(ec);
    w.root = fs::absolute(sandbox_root(), ec).lexically_normal();
    if (!w.root.has_filename()) w.root = w.root.parent_path();
    w.real_root = fs::weakly_canonical(w.root, ec);
    return w;
}

} // namespace

bool command_stays_in_sandbox(std::string_view mapped, std::vector<size_t>* scripts) {
    // The shell would run the text only up to a NUL byte, unlike what is read here.
    if (!sandboxed() || mapped.find('\0') != std::string_view::npos) return false;
    Lexer lx;
    lx.text = mapped;
    if (!split_commands(lx)) return false;
    Walk w = start_walk();
    w.text = mapped;
    w.scripts = scripts;
    for (const SimpleCommand& cmd : lx.commands) {
        if (!cmd.reads_pipe) w.pipeline.clear();
        if (!redirects_inside_root(w, cmd) || !program_allows(w, cmd)) return false;
        w.pipeline.push_back(&cmd);
    }
    return true;
}
