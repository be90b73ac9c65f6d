// Factory reset: removes the setup, filter and memory files, or the network
// settings file, from both settings directories, so that their readers
// recreate them with factory values.
#include "settings/factory_reset.h"

#include "os/shell.h"
#include "settings/ini.h"

#include <string>

namespace {

constexpr const char* kNetworkFileName = "ORV_Network.ini";

// "rm -rf <dir>/<pattern>": the directories end in '/', so the command carries
// a doubled slash; the pattern stays unquoted for the shell to expand.
void remove_pattern(const char* dir, const char* pattern) {
    run_command("rm -rf " + shell_quote(dir) + "/" + pattern);
}

} // namespace

int FactoryReset() {
    for (const char* pattern : {"Setup_*", "Filter_*", "*.mem"}) {
        remove_pattern(kSdConfDir, pattern);
        remove_pattern(kRamConfDir, pattern);
    }
    run_command("sync");
    return 0;
}

int ResetNetworkFile() {
    for (const char* dir : {kSdConfDir, kRamConfDir})
        run_command("rm -rf " + shell_quote(std::string(dir) + kNetworkFileName));
    run_command("sync");
    return 0;
}
