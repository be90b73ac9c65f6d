// The shell of the sandbox: the runner that orv-sim and the tests install for
// the unit's commands, which really runs only what the command guard lets
// through and journals the scripts it would start.
#pragma once

#include <string>

// Maps the unit's paths in the command into the sandbox root and runs it
// through /bin/sh when the guard finds that it keeps to file and text work
// inside the root; a script it would start is only written, with its text,
// to the script journal (sim/scripts.log). Anything else is not run and
// counts as done (0).
int run_guarded(const std::string& command);

// Installs run_guarded as the sandbox runner of run_command.
void sandbox_guard_install();
