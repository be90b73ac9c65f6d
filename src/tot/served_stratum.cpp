// The served stratum read back from the daemon's configuration: one above a
// reference clock's ("fudge" for ntpd and ntpsec, "refclock" for chrony), or
// the daemon's own clock's, ntpsec's orphan stratum ("tos orphan S") and
// chrony's "local stratum S" themselves. Beside a reference clock the own
// clock's stratum is only the one served while that clock is unfit.
#include "tot/served_stratum.h"

#include "os/unit_path.h"
#include "tot/ntp_daemon.h"

#include <fstream>
#include <sstream>

namespace {

// The stratum that one line serves, or -1.
int served_by(const std::string& line) {
    std::istringstream words(line);
    std::string first, word;
    words >> first;
    const bool of_a_clock = first == "fudge" || first == "refclock";
    if (!of_a_clock && first != "local" && first != "tos") return -1;
    const char* const key = first == "tos" ? "orphan" : "stratum";
    int stratum = -1;
    while (words >> word)
        if (word == key && !(words >> stratum)) return -1;
    return stratum < 0 ? -1 : stratum + int(of_a_clock);
}

} // namespace

int served_stratum() {
    std::ifstream conf(unit_path(ntp_daemon_conf()));
    int served = -1, own = -1;
    for (std::string line; std::getline(conf, line);)
        if (const int stratum = served_by(line); stratum >= 0)
            (line.starts_with("tos") || line.starts_with("local") ? own : served) = stratum;
    return served >= 0 ? served : own;
}
