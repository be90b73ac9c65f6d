// The one shell-command runner of the unit. On the unit it runs the command
// through the shell. In a sandbox it journals the command and runs it only when
// every program it starts is a file or text tool, with the unit's paths mapped
// into the sandbox root.
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

// What becomes of a sandboxed command once it is journaled; returns its exit
// status as run_command does. nullptr restores the guarded shell (the unit
// paths mapped into the root, run through /bin/sh when the guard lets the
// command through); fuzzing harnesses choose one that runs nothing, so that
// an input costs neither a guard's reading nor a process.
using SandboxRunner = int (*)(const std::string& command);
void shell_set_sandbox_runner(SandboxRunner runner);
