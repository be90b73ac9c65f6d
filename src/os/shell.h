// The one shell-command runner of the unit. On the unit it runs the command
// through the shell. In a sandbox it journals the command and hands it to the
// sandbox runner that the simulator installs (its guarded shell); without one
// nothing runs.
#pragma once

#include <string>
#include <string_view>

// Runs a command and waits for it. Returns its exit status (0 to 255), -1 when it
// could not be run or ended on a signal. A command that the sandbox only
// journals counts as having succeeded.
int run_command(const std::string& command);

// A command text formatted as by printf, of any length.
std::string format_command(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A path as it may stand in a command: unchanged when it holds only plain path
// characters, else single-quoted for the shell.
std::string shell_quote(std::string_view path);

// Appends a line "<seconds.microseconds> <text>" to the sandbox's command
// journal (sim/commands.log); does nothing on the unit.
void journal_command(std::string_view text);

// Runs the text through /bin/sh and waits, whether sandboxed or not (for the
// sandbox runners); returns its status as run_command does.
int run_through_shell(const std::string& command);

// What becomes of a sandboxed command once it is journaled; returns its exit
// status as run_command does. The executables that run the unit in a sandbox
// install theirs at start (orv-sim, the tests: the guarded shell); without
// one, or given nullptr, a command is only journaled and counts as done.
using SandboxRunner = int (*)(const std::string& command);
void shell_install_sandbox_runner(SandboxRunner runner);
// A runner for a while (a test's failing command, a fuzzing harness's that runs
// nothing); nullptr goes back to the installed one.
void shell_set_sandbox_runner(SandboxRunner runner);
