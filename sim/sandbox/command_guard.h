// The sandbox's guard on shell commands: which command lines keep to file and
// text work inside the sandbox root and may therefore really run.
#pragma once

#include <string_view>
#include <vector>

// Whether a command line, its unit paths already mapped into the root, starts
// only file and text tools (and the signature verifier sqv) that stay inside
// the root, reading and writing there only and signalling only processes
// started in the sandbox. Anything
// this reading cannot follow (command substitution, subshells, background
// jobs, here-documents, unterminated quotes, NUL bytes) is refused. A shell
// started on a script inside the root is refused too, unless `scripts` is
// given: it then receives where each such shell's name begins in the text, to
// be replaced by something that runs no script.
bool command_stays_in_sandbox(std::string_view mapped, std::vector<size_t>* scripts = nullptr);
