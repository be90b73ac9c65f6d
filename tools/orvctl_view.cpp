// orvctl status's view of the unit: whether it runs (a reader on its control
// FIFO; a holder of its lock that has not made the FIFO yet is starting;
// unknown to a user who may not open it), its published state file with every
// value's control characters escaped, the NTP daemon's configuration and what
// the daemon itself answers, weighed both ways against what the unit believes;
// and the verdict that the exit status and orvctl wait give of it.
#include "orvctl_view.h"
#include "orvctl_status.h"

#include "daemon_check.h"
#include "log/status_log.h"
#include "main/lifecycle.h"
#include "main/main_loop.h"
#include "main/unit_state.h"
#include "os/unit_path.h"
#include "tot/ntp_daemon.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace status_view {

namespace {

// The state file's keys with a value; `error` is the errno when the file
// cannot be read. Only the unit writes it, each line KEY=VALUE with a TAB
// before its comment, so a value is read whole up to that TAB: a reason may
// hold an '=' (dtparam=spi=on). Each value comes with its control characters
// escaped: whoever wrote the file, it is only shown.
Values read_state(int* error) {
    Values values;
    std::ifstream in(unit_path(kStateFilePath));
    *error = in ? 0 : errno;
    bool section = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with('[')) section = line.starts_with("[State]");
        const size_t equals = line.find('=');
        if (!section || equals == 0 || equals == std::string::npos) continue;
        const std::string value = line.substr(equals + 1, line.find('\t', equals) - equals - 1);
        if (!value.empty()) values[line.substr(0, equals)] = LogEscapedControls(value);
    }
    return values;
}

Running control_fifo_read(std::string& why) {
    const std::string path = unit_path(kControlFifoPath);
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && (errno == ENXIO || errno == ENOENT || errno == EISDIR || errno == ELOOP))
        return Running::no;
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return Running::unknown;
    }
    struct stat st {};
    const bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    close(fd);
    return fifo ? Running::yes : Running::no;
}

} // namespace

std::string get(const Values& v, const char* key, const char* fallback) {
    const auto it = v.find(key);
    return it == v.end() ? fallback : it->second;
}

// The value when it is a whole number, as it stands.
std::optional<long long> integer(const Values& v, const char* key) {
    const std::string text = get(v, key, "");
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
    return value;
}

std::optional<BroadcastTime> broadcast_time(const Values& s) {
    BroadcastTime t{};
    char end = 0;
    if (std::sscanf(get(s, "LastTOT").c_str(), "%4d/%2d/%2d %2d:%2d:%2d%c", &t.year, &t.month,
                    &t.day, &t.hour, &t.minute, &t.second, &end) != 6)
        return {};
    return t;
}

// The process that holds the unit's lock, as the kernel lists it (the lock is
// only looked at: taking it, even for a moment, could turn a starting unit
// away).
long lock_holder() {
    struct stat lock {};
    if (stat(unit_path(kRunLockPath).c_str(), &lock) != 0) return 0;
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, type, advisory, access, place;
        long pid = 0;
        unsigned major_number = 0, minor_number = 0;
        unsigned long inode = 0;
        if (words >> number >> type >> advisory >> access >> pid >> place && type == "FLOCK" &&
            std::sscanf(place.c_str(), "%x:%x:%lu", &major_number, &minor_number, &inode) == 3 &&
            inode == lock.st_ino && makedev(major_number, minor_number) == lock.st_dev)
            return pid;
    }
    return 0;
}

View gather() {
    View v{};
    v.running = control_fifo_read(v.unknown_why);
    v.state = read_state(&v.state_error);
    const long published_pid = integer(v.state, "Pid").value_or(0);
    if (v.running == Running::no && (v.pid = lock_holder()) != 0)
        v.running = v.pid == published_pid ? Running::stopping : Running::starting;
    if (v.running == Running::yes) v.pid = published_pid;
    v.conf = LogEscapedControls(ntp_daemon_conf());
    v.served_stratum = int(integer(v.state, "ServedStratum").value_or(-1)); // ntp.conf is root's
    const long long taken = integer(v.state, "LastTake").value_or(0);
    v.age = taken > 0 ? static_cast<long long>(std::time(nullptr)) - taken : -1;
    v.asked = !daemon_address().empty();
    if (v.asked) v.answer = daemon_query();
    v.daemon_pid = daemon_process(v.process);
    return v;
}

// The most root distance (root delay / 2 + root dispersion) that chronyd with
// default settings accepts (its maxdistance).
constexpr double kMaxRootDistanceMs = 3000;

// Whether the state file says what this run of the unit does now (a starting
// unit's is the last run's).
bool state_current(const View& v) {
    return (v.running == Running::yes || v.running == Running::stopping) && !v.state.empty();
}

bool unit_serves(const View& v) {
    return v.running == Running::yes && get(v.state, "Serving") == "1";
}

// The unit as the text and the JSON name it.
std::string unit_word(const View& v) {
    switch (v.running) {
    case Running::yes:
        return get(v.state, "Reason") == "restarting" ? "restarting" : "running";
    case Running::starting:
        return "starting";
    case Running::stopping:
        return "stopping";
    case Running::no:
        return "not running";
    default:
        return "unknown";
    }
}

// What the unit says of its serving: its reason, or where it stands.
std::string unit_reason(const View& v) {
    if (v.running == Running::no) return "unit not running";
    if (v.running == Running::unknown) return "unknown to this user: " + v.unknown_why;
    if (v.running != Running::yes) return unit_word(v);
    return v.state.empty() ? "no state published yet" : get(v.state, "Reason");
}

// Why the daemon does not serve what the unit believes it serves, either way;
// empty when they agree (or where this user cannot tell what the unit does, or
// where no daemon is named to ask).
std::string disagreement(const View& v) {
    const DaemonAnswer& a = v.answer;
    if (!v.asked || v.running == Running::unknown) return "";
    const double distance_ms = daemon_root_distance_ms(a);
    const bool taken = daemon_synchronised(a) && distance_ms <= kMaxRootDistanceMs;
    if (!unit_serves(v))
        return !taken ? ""
                      : format("the unit does not serve (%s), but the NTP daemon answers "
                               "synchronised at stratum %d: its clients take a clock that "
                               "broadcast time does not keep",
                               unit_reason(v).c_str(), a.stratum);
    if (!a.answered)
        return "the unit serves, but the NTP daemon does not answer on " + a.address + " (" +
               a.failure + ")";
    if (!daemon_synchronised(a))
        return format("the unit serves, but the NTP daemon answers unsynchronised (leap %d, "
                      "stratum %d)",
                      a.leap, a.stratum);
    if (!taken)
        return format("the unit serves, but the NTP daemon's root distance %.3f s exceeds the "
                      "%.1f s a default client accepts",
                      distance_ms / 1000, kMaxRootDistanceMs / 1000);
    // In a holdover a daemon fed by shared memory raises its stratum itself.
    const bool raised = a.stratum > v.served_stratum && get(v.state, "Holdover") == "1";
    if (v.served_stratum >= 0 && a.stratum != v.served_stratum && !raised)
        return format("the unit serves, but the NTP daemon answers at stratum %d, not at the "
                      "%d that the unit configured",
                      a.stratum, v.served_stratum);
    return "";
}

// 0 served and the daemon agrees, 1 not served, 2 unknown.
int verdict(const View& v) {
    if (v.running == Running::no || v.running == Running::unknown) return 2;
    if (v.running == Running::yes && v.state.empty()) return 2;
    return unit_serves(v) && disagreement(v).empty() ? 0 : 1;
}

std::string reason_of(const View& v) {
    const std::string other = disagreement(v);
    return other.empty() ? unit_reason(v) : other;
}

} // namespace status_view

int orvctl_serving(std::string& reason) {
    const status_view::View view = status_view::gather();
    reason = status_view::reason_of(view);
    return status_view::verdict(view);
}

long orvctl_lock_holder() {
    return status_view::lock_holder();
}
