// The sandbox's command guard on any command line, its unit paths mapped into
// the root as the runner maps them. Each line it lets through is read again by
// a plain reading of its own here: the programs must be file and text tools,
// every file they name (patterns expanded by glob(3), links followed) must lie
// inside the root, sed may only substitute, a shell may only run a script of
// the root or the kill lines of shells running one, kill may signal only
// processes whose environment names the root, and sqv reads keyrings, a
// signature and a file of the root.
#include "command_guard.h"
#include "fuzz_sandbox.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <glob.h>
#include <regex>
#include <set>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Command {
    std::vector<std::string> words;
    std::vector<bool> patterns;
    std::vector<std::string> redirects;
};
using Pipeline = std::vector<Command>;

// Pipelines of words split at unquoted blanks and operators, quotes removed; a
// run of digits right before a redirection is a descriptor, and so is the word
// after >& or <&. Comments run to the end of the line.
std::vector<Pipeline> read_pipelines(const std::string& line) {
    std::vector<Pipeline> pipelines(1, Pipeline(1));
    std::string word;
    bool in_word = false, pattern = false, redirect = false, descriptor = false;
    const auto end_word = [&] {
        if (!in_word) return;
        Command& c = pipelines.back().back();
        if (!redirect) c.words.push_back(word), c.patterns.push_back(pattern);
        if (redirect && !descriptor) c.redirects.push_back(word);
        word.clear();
        in_word = pattern = redirect = descriptor = false;
    };
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        const char next = i + 1 < line.size() ? line[i + 1] : '\0';
        if (c == '\'') {
            const size_t close = line.find('\'', i + 1);
            word += line.substr(i + 1, close - i - 1), in_word = true, i = close;
        } else if (c == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size() && std::strchr("\\\"$`\n", line[i + 1]))
                    ++i;
                word += line[i];
            }
            in_word = true;
        } else if (c == '\\') {
            if (++i < line.size() && line[i] != '\n') word += line[i], in_word = true;
        } else if (c == '#' && !in_word) {
            i = line.find('\n', i) - 1;
        } else if (c == '<' || c == '>') {
            if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos)
                word.clear(), in_word = false;
            end_word();
            i += next == '>' || next == '|' || next == '&';
            redirect = true, descriptor = next == '&';
        } else if (c == ' ' || c == '\t') {
            end_word();
        } else if (c == '|' && next != '|') {
            end_word();
            pipelines.back().emplace_back();
        } else if (c == ';' || c == '|' || c == '&' || c == '\n') {
            end_word();
            if ((c == '|' || c == '&') && next == c) ++i;
            pipelines.emplace_back(1);
        } else {
            pattern |= c == '*' || c == '?' || c == '[';
            word += c, in_word = true;
        }
    }
    end_word();
    for (Pipeline& p : pipelines)
        std::erase_if(p, [](const Command& c) { return c.words.empty(); });
    std::erase_if(pipelines, [](const Pipeline& p) { return p.empty(); });
    return pipelines;
}

struct Oracle {
    fs::path root, cwd;

    // A name too long to exist leads nowhere: only its directory is followed.
    bool inside(const fs::path& path) const {
        std::error_code ec;
        fs::path real = fs::weakly_canonical(path, ec);
        if (ec == std::errc::filename_too_long)
            real = fs::weakly_canonical(path.parent_path(), ec) / path.filename();
        const auto under = [this](const fs::path& p) {
            return p == root || p == root / "" || p.string().starts_with(root.string() + "/");
        };
        return !ec && under(real) && under(path.lexically_normal());
    }

    // A file operand, expanded as the shell would when it is a pattern.
    bool names_inside(const std::string& word, bool pattern) const {
        const fs::path full = cwd / word;
        if (!pattern) return inside(full);
        glob_t found{};
        const bool all = glob(full.c_str(), GLOB_NOCHECK, nullptr, &found) == 0 &&
                         std::all_of(found.gl_pathv, found.gl_pathv + found.gl_pathc,
                                     [this](const char* name) { return inside(name); });
        globfree(&found);
        return all;
    }

    bool process_of_root(const std::string& pid) const {
        std::ifstream in("/proc/" + pid + "/environ", std::ios::binary);
        for (std::string entry; std::getline(in, entry, '\0');)
            if (entry == "ORV_ROOT=" + root.string()) return true;
        return false;
    }
};

bool is_substitution(const std::string& script) {
    // An escaped newline is part of the replacement.
    static const std::regex s(R"(s/([^/\\]|\\[\s\S])*/([^/\\]|\\[\s\S])*/[gpiI0-9]*)");
    return std::regex_match(script, s);
}

// The operands of a tool that name files: every word but the options, and but
// the pattern, script or program (the first operand, or the one after -e),
// which goes to `script`.
std::vector<size_t> file_operands(const Command& c, std::string& script) {
    std::vector<size_t> files;
    bool script_seen = false;
    for (size_t i = 1; i < c.words.size(); ++i) {
        if (c.words[i] == "-e" && i + 1 < c.words.size())
            script = c.words[++i], script_seen = true;
        else if (!c.words[i].starts_with('-') && script_seen)
            files.push_back(i);
        else if (!c.words[i].starts_with('-'))
            script = c.words[i], script_seen = true;
    }
    return files;
}

// What the oracle finds wrong with an accepted line, or nullptr.
const char* unsound_command(Oracle& o, const Pipeline& pipeline, size_t at) {
    static const std::set<std::string> tools = {"cd",    "rm",      "cp",  "tar",  "sed",  "xargs",
                                                "sh",    "/bin/sh", "awk", "kill", "sync", "grep",
                                                "egrep", "echo",    "ps",  "sqv"};
    const Command& c = pipeline[at];
    const std::string& tool = c.words[0];
    if (!tools.count(tool)) return "a program that is no file or text tool";
    for (const std::string& r : c.redirects)
        if (r != "/dev/null" && !o.inside(o.cwd / r)) return "a redirection outside";
    if (tool == "cd") {
        if (c.words.size() != 2 || !o.inside(o.cwd / c.words[1])) return "cd outside";
        o.cwd = o.cwd / c.words[1];
    } else if (tool == "rm" || tool == "cp" || tool == "tar" || tool == "sqv") {
        // After "--" every word is a file, whatever it starts with.
        bool operands = false;
        for (size_t i = 1 + (tool == "tar"); i < c.words.size(); ++i) {
            const std::string& word = c.words[i];
            if (!operands && word == "--") {
                operands = true;
                continue;
            }
            const bool keyring = !operands && word.starts_with("--keyring=");
            const std::string file = keyring ? word.substr(10) : word;
            if ((operands || !file.starts_with('-')) && !o.names_inside(file, c.patterns[i]))
                return "a file outside";
        }
    } else if (tool == "sed" || tool == "grep" || tool == "egrep" || tool == "awk") {
        std::string script;
        for (const size_t i : file_operands(c, script))
            if (!o.names_inside(c.words[i], c.patterns[i])) return "a file outside";
        for (const std::string& word : c.words)
            if (tool != "sed" && word.starts_with('-') &&
                word.find_first_of("frR-", 1) != std::string::npos)
                return "an option that reads more files";
        if (tool == "sed" && !is_substitution(script)) return "sed doing more than s///";
        if (tool == "awk" && script != R"({print "kill ", $1})") return "an awk program";
    } else if (tool == "xargs" && c.words.size() > 1 && c.words[1] != "echo") {
        const Command* feeder = at > 0 ? &pipeline[at - 1] : nullptr;
        if (c.words[1] != "sed" || !feeder || feeder->words.size() < 4 ||
            (feeder->words[0] != "grep" && feeder->words[0] != "egrep") || feeder->words[1] != "-l")
            return "xargs on names of unknown files";
        for (size_t i = 3; i < feeder->words.size(); ++i) {
            const std::string& name = feeder->words[i];
            if (feeder->patterns[i] || name.find_first_of(" \t\n'\"\\") != std::string::npos ||
                name.starts_with('-') || !o.inside(o.cwd / name))
                return "xargs handing sed a name that is not one plain file";
        }
    } else if (tool == "sh" || tool == "/bin/sh") {
        const std::string shell = "/bin/sh ";
        if (c.words.size() > 1) {
            if (!o.inside(o.cwd / c.words[1])) return "a script outside";
        } else if (at < 2 || pipeline[0].words != std::vector<std::string>{"ps"} ||
                   pipeline[1].words.size() != 2 || !pipeline[1].words[1].starts_with(shell) ||
                   !o.inside(pipeline[1].words[1].substr(shell.size()))) {
            return "a shell reading commands that kill more than scripts of the root";
        }
    } else if (tool == "kill") {
        for (size_t i = 1; i < c.words.size(); ++i)
            if (!c.words[i].starts_with('-') && !o.process_of_root(c.words[i]))
                return "a process of another sandbox or the host";
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Oracle start = [] {
        fuzz_sandbox();
        fuzz_write("/var/www/StatusLog.txt", "log\n");
        fuzz_write("/usr/kelvatro/upload/setup.sh", "echo done\n");
        fs::create_directory_symlink("/tmp", fuzz_path("/var/www/away"));
        // The working directory stays where the fuzzer runs: outside the root.
        return Oracle{fs::path(sandbox_root()), fs::current_path()};
    }();
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::string mapped = map_unit_paths_in_command(line);
    if (!command_stays_in_sandbox(mapped)) return 0;
    Oracle o = start;
    const char* reason = nullptr;
    for (const Pipeline& pipeline : read_pipelines(mapped))
        for (size_t at = 0; !reason && at < pipeline.size(); ++at)
            reason = unsound_command(o, pipeline, at);
    if (reason) std::fprintf(stderr, "accepted: %s\nbut %s\n", mapped.c_str(), reason);
    FUZZ_CHECK(reason == nullptr);
    return 0;
}
