// The sandbox's guarded shell: a command of the unit, its paths mapped into
// the root, runs only when the command guard lets it through, with every
// script it would start replaced by a stand-in that journals the script.
#include "guarded_shell.h"

#include "command_guard.h"
#include "os/shell.h"
#include "os/unit_path.h"

#include <vector>

namespace {

// The shell function that stands in for a script: it appends the script's
// name and text to the sandbox's script journal and runs nothing. A link is
// not followed.
std::string script_journal_function() {
    return "orv_script() { { echo \"script $1\"; [ -L \"$1\" ] || cat -- \"$1\"; } >> " +
           shell_quote(sandbox_root() + "/sim/scripts.log") + "; }; ";
}

// The command line with each start of a script replaced by the stand-in.
std::string with_scripts_journaled(std::string text, const std::vector<size_t>& scripts) {
    for (auto at = scripts.rbegin(); at != scripts.rend(); ++at) {
        const size_t length = text.compare(*at, 7, "/bin/sh") == 0 ? 7 : 2;
        text.replace(*at, length, "orv_script");
    }
    return script_journal_function() + text;
}

} // namespace

int run_guarded(const std::string& command) {
    const std::string mapped = map_unit_paths_in_command(command);
    std::vector<size_t> scripts;
    if (!command_stays_in_sandbox(mapped, &scripts)) return 0;
    return run_through_shell(scripts.empty() ? mapped : with_scripts_journaled(mapped, scripts));
}

void sandbox_guard_install() {
    shell_install_sandbox_runner(run_guarded);
}
