// The NTP daemon's process: found by its pid file, or on the unit by its name
// among the processes.
#include "daemon_check.h"

#include "os/unit_path.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>

namespace {

struct Daemon {
    const char* process;
    const char* pid_file;
};
constexpr Daemon kDaemons[] = {{"ntpd", "/run/ntpd.pid"}, {"chronyd", "/run/chrony/chronyd.pid"}};

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// The process's name, empty when there is none.
std::string process_name(int pid) {
    return pid > 0 ? first_line("/proc/" + std::to_string(pid) + "/comm") : "";
}

} // namespace

int daemon_process(std::string& name) {
    for (const Daemon& daemon : kDaemons)
        if (const int pid = std::atoi(first_line(unit_path(daemon.pid_file)).c_str());
            process_name(pid) == daemon.process) {
            name = daemon.process;
            return pid;
        }
    if (sandboxed()) return 0; // the machine's own daemons are none of the sandbox's
    DIR* proc = opendir("/proc");
    int found = 0;
    for (dirent* entry; proc && !found && (entry = readdir(proc));) {
        const int pid = std::atoi(entry->d_name);
        const std::string process = process_name(pid);
        for (const Daemon& daemon : kDaemons)
            if (process == daemon.process) found = pid, name = process;
    }
    if (proc) closedir(proc);
    return found;
}
