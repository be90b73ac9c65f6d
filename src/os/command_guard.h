// The sandbox's guard on shell commands: which command lines keep to file and
// text work inside the sandbox root and may therefore really run.
#pragma once

#include <string_view>

// Whether a command line, its unit paths already mapped into the root, starts
// only file and text tools that stay inside the root, reading and writing
// there only and signalling only processes started in the sandbox. Anything
// this reading cannot follow (command substitution, subshells, background
// jobs, here-documents, unterminated quotes, NUL bytes) is refused.
bool command_stays_in_sandbox(std::string_view mapped);
