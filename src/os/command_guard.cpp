// The sandbox's guard on shell commands. A command line is split into simple
// commands the way sh would; each must start a known file or text tool whose
// file names, options and redirections keep inside the sandbox root, and which
// cannot be talked into starting another program. Everything else is refused.
#include "os/command_guard.h"

#include "os/unit_path.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The only awk program whose output a shell may read: the kill lines of the
// end script's processes.
constexpr std::string_view kKillLines = "{print \"kill \", $1}";

// One simple command: its words with quotes removed, redirections apart.
struct SimpleCommand {
    std::vector<std::string> words;
    std::vector<bool> plain; // the shell expands nothing in the word
    std::vector<std::string> redirect_files;
    bool redirect_unclear = false;
    bool reads_pipe = false;
    bool feeds_pipe = false;
};

enum class Redirect { none, file, descriptor };

struct Lexer {
    std::string_view text;
    size_t pos = 0;
    std::string word;
    bool in_word = false;
    bool word_plain = true;
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

void add(Lexer& lx, char c) {
    lx.in_word = true;
    lx.word += c;
}

void end_word(Lexer& lx) {
    if (!lx.in_word) return;
    SimpleCommand& cmd = lx.current;
    if (lx.pending == Redirect::descriptor) {
        cmd.redirect_unclear |= !lx.word_plain || !(lx.word == "-" || all_digits(lx.word));
    } else if (lx.pending == Redirect::file) {
        cmd.redirect_files.push_back(lx.word);
        cmd.redirect_unclear |= !lx.word_plain;
    } else {
        cmd.words.push_back(lx.word);
        cmd.plain.push_back(lx.word_plain);
    }
    lx.pending = Redirect::none;
    lx.word.clear();
    lx.in_word = false;
    lx.word_plain = true;
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
    lx.in_word = true;
    const size_t close = lx.text.find('\'', lx.pos);
    if (close == std::string_view::npos) return false;
    lx.word.append(lx.text.substr(lx.pos, close - lx.pos));
    lx.pos = close + 1;
    return true;
}

bool double_quoted(Lexer& lx) {
    lx.in_word = true;
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
        lx.word_plain = false;
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

// The guard's walk through a command line: the root, the directory the shell
// will be in, and the commands of the pipeline so far.
struct Walk {
    fs::path root;
    fs::path cwd;
    std::vector<const SimpleCommand*> pipeline;
};

// Whether a path, relative ones taken from the walk's directory, lies inside
// the root (or is the root itself, when allowed).
bool within_root(const Walk& w, const std::string& path, bool root_itself) {
    if (path.empty() || (w.cwd.empty() && path.front() != '/')) return false;
    fs::path full = (w.cwd / path).lexically_normal();
    if (!full.has_filename()) full = full.parent_path();
    const auto [root_end, rest] =
        std::mismatch(w.root.begin(), w.root.end(), full.begin(), full.end());
    return root_end == w.root.end() && (root_itself || rest != full.end());
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

// rm and cp: flag options only, every name inside the root.
bool names_inside_root(const Walk& w, const SimpleCommand& cmd, std::string_view flags) {
    for (size_t i = 1; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (!cmd.plain[i]) return false;
        if (word.starts_with('-') ? !flag_word(word, flags) : !within_root(w, word, false))
            return false;
    }
    return true;
}

// tar works in the directory it is in, which must lie in the root: bundled
// flags that neither run programs nor change directory, local archives only.
bool tar_allows(const Walk& w, const SimpleCommand& cmd) {
    if (!within_root(w, ".", true)) return false;
    for (size_t i = 1; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (!cmd.plain[i]) return false;
        if (i == 1 || word.starts_with('-')) {
            if (!flag_word(word, "cxtzjJvpf")) return false;
        } else if (word.find(':') != std::string::npos || !within_root(w, word, false)) {
            return false;
        }
    }
    return true;
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

// The feeder of xargs sed: grep -l naming files inside the root, so that the
// names sed receives are some of those.
bool lists_files_inside_root(const Walk& w, const SimpleCommand* feeder) {
    if (!feeder || feeder->words.size() < 4 || feeder->words[1] != "-l") return false;
    const std::string& tool = feeder->words[0];
    if (tool != "grep" && tool != "egrep") return false;
    for (size_t i = 3; i < feeder->words.size(); ++i)
        if (!feeder->plain[i] || feeder->words[i].starts_with('-') ||
            !within_root(w, feeder->words[i], false))
            return false;
    return true;
}

// xargs without options (so no replacement strings), starting echo, grep or
// a sed fed with names of files inside the root. Nothing that takes a
// program, a process or a file to write from the input.
bool xargs_allows(const Walk& w, const SimpleCommand& cmd) {
    if (cmd.words.size() == 1) return true; // echo
    const std::string& tool = cmd.words[1];
    if (!cmd.plain[1]) return false;
    if (tool == "echo" || tool == "grep" || tool == "egrep") return true;
    const SimpleCommand* feeder =
        cmd.reads_pipe && !w.pipeline.empty() ? w.pipeline.back() : nullptr;
    return tool == "sed" && lists_files_inside_root(w, feeder) && sed_allows(w, cmd, 2);
}

// awk only prints: a plain program without commands, pipes, output files or
// indirect calls, and no options (so no program files).
bool awk_allows(const SimpleCommand& cmd) {
    if (cmd.words.size() < 2 || !cmd.plain[1]) return false;
    const std::string& program = cmd.words[1];
    if (program.find("system") != std::string::npos ||
        program.find_first_of("|>@") != std::string::npos)
        return false;
    return std::none_of(cmd.words.begin() + 1, cmd.words.end(),
                        [](const std::string& word) { return word.starts_with('-'); });
}

// A signal option, then process ids other than init and the process groups.
bool kill_allows(const SimpleCommand& cmd) {
    for (size_t i = 1; i < cmd.words.size(); ++i) {
        const std::string& word = cmd.words[i];
        if (i == 1 && word.size() > 1 && word.front() == '-' && word != "--") continue;
        if (!all_digits(word) || std::strtoul(word.c_str(), nullptr, 10) <= 1) return false;
    }
    return true;
}

bool is_grep_filter(const SimpleCommand& cmd) {
    const auto& w = cmd.words;
    if (w[0] != "grep" && w[0] != "egrep") return false;
    return w.size() == 2 || (w.size() == 3 && w[1] == "-v");
}

// The end script's kill line: ps, filtered by grep, turned into kill lines by
// awk. Nothing else may feed a shell its commands.
bool feeds_kill_lines(const std::vector<const SimpleCommand*>& pipeline) {
    if (pipeline.size() < 2) return false;
    if (pipeline.front()->words != std::vector<std::string>{"ps"}) return false;
    const auto& awk = pipeline.back()->words;
    if (awk.size() != 2 || awk[0] != "awk" || awk[1] != kKillLines) return false;
    for (const SimpleCommand* cmd : pipeline)
        if (!cmd->redirect_files.empty()) return false;
    return std::all_of(pipeline.begin() + 1, pipeline.end() - 1,
                       [](const SimpleCommand* cmd) { return is_grep_filter(*cmd); });
}

// A script inside the root, or the kill lines of the end script.
bool shell_allows(const Walk& w, const SimpleCommand& cmd) {
    if (cmd.words.size() == 1)
        return cmd.reads_pipe && cmd.redirect_files.empty() && feeds_kill_lines(w.pipeline);
    const std::string& script = cmd.words[1];
    return cmd.plain[1] && !script.starts_with('-') && within_root(w, script, false);
}

bool program_allows(Walk& w, const SimpleCommand& cmd) {
    if (!cmd.plain[0]) return false;
    const std::string& program = cmd.words[0];
    if (program == "cd") return change_directory(w, cmd);
    if (program == "rm") return names_inside_root(w, cmd, "rfR");
    if (program == "cp") return names_inside_root(w, cmd, "pfrRa");
    if (program == "tar") return tar_allows(w, cmd);
    if (program == "sed") return sed_allows(w, cmd, 1);
    if (program == "xargs") return xargs_allows(w, cmd);
    if (program == "sh" || program == "/bin/sh") return shell_allows(w, cmd);
    if (program == "awk") return awk_allows(cmd);
    if (program == "kill") return kill_allows(cmd);
    return program == "sync" || program == "grep" || program == "egrep" || program == "echo" ||
           program == "ps";
}

Walk start_walk() {
    Walk w;
    std::error_code ec;
    w.cwd = fs::current_path(ec);
    w.root = fs::absolute(sandbox_root(), ec).lexically_normal();
    if (!w.root.has_filename()) w.root = w.root.parent_path();
    return w;
}

} // namespace

bool command_stays_in_sandbox(std::string_view mapped) {
    Lexer lx;
    lx.text = mapped;
    if (!split_commands(lx)) return false;
    Walk w = start_walk();
    for (const SimpleCommand& cmd : lx.commands) {
        if (!cmd.reads_pipe) w.pipeline.clear();
        if (!redirects_inside_root(w, cmd) || !program_allows(w, cmd)) return false;
        w.pipeline.push_back(&cmd);
    }
    return true;
}
