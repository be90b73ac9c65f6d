// orvctl status: the published state file, with the network settings applied,
// and the NTP daemon's configuration, with whether the unit runs (a reader on
// its control FIFO; a holder of its lock that has not made the FIFO yet is
// starting; unknown to a user who may not open it) and what the daemon itself
// answers, weighed both ways against what the unit believes; shown for a
// person or as JSON for monitoring, both from the same view, every text from
// a file with its control characters escaped; and the verdict that the exit
// status and orvctl wait give of it.
#include "orvctl_status.h"

#include "daemon_check.h"
#include "log/status_log.h"
#include "main/lifecycle.h"
#include "main/main_loop.h"
#include "main/unit_state.h"
#include "os/unit_path.h"
#include "settings/ini.h"
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

namespace {

using Json = nlohmann::ordered_json;
using Values = std::map<std::string, std::string>;

// The section's keys with a value; `error` is the errno when the file cannot
// be read. Each value comes with its control characters escaped: whoever wrote
// the file, it is only shown.
Values read_section(const char* path, const char* section, int* error = nullptr) {
    Values values;
    const int result = IniReadFile(path, section, [&values](const char* key, const char* value) {
        if (*value) values[key] = LogEscapedControls(value);
    });
    if (error) *error = result == 0 ? 0 : errno;
    return values;
}

std::string get(const Values& v, const char* key, const char* fallback = "unknown") {
    const auto it = v.find(key);
    return it == v.end() ? fallback : it->second;
}

// The value as a JSON string, null when the file lacks it.
Json text_or_null(const Values& v, const char* key) {
    const auto it = v.find(key);
    return it == v.end() ? Json() : Json(it->second);
}

// The value when it is a whole number, as it stands.
std::optional<long long> integer(const Values& v, const char* key) {
    const std::string text = get(v, key, "");
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
    return value;
}

Json number_or_null(const std::optional<long long>& value) {
    return value ? Json(*value) : Json();
}

// A time of this machine's zone (the unit's, unless TZ says otherwise) with
// the zone's name.
std::string local_time(long long seconds) {
    const time_t t = time_t(seconds);
    tm broken{};
    char text[40];
    if (seconds <= 0 || !localtime_r(&t, &broken) ||
        !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &broken))
        return "unknown";
    return text;
}

// The broadcast time last taken, Japan time: "YYYY/MM/DD hh:mm:ss" as the state
// file holds it; none when it holds no such time.
struct BroadcastTime {
    int year, month, day, hour, minute, second;
};

std::optional<BroadcastTime> broadcast_time(const Values& s) {
    BroadcastTime t{};
    char end = 0;
    if (std::sscanf(get(s, "LastTOT").c_str(), "%4d/%2d/%2d %2d:%2d:%2d%c", &t.year, &t.month,
                    &t.day, &t.hour, &t.minute, &t.second, &end) != 6)
        return {};
    return t;
}

std::string format(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// What is known of the unit's process: a reader of its control FIFO (running;
// restarting while a RESET starts the next pass), the holder of its lock
// without one (starting before its first pass has made the FIFO, or stopping
// after its last removed it), or none; unknown to a user who may not open the
// FIFO.
enum class Running { yes, starting, stopping, no, unknown };

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

// The process that holds the unit's lock, as the kernel lists it (the lock is
// only looked at: taking it, even for a moment, could turn a starting unit
// away); 0 when none does.
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

struct View {
    Running running;
    long pid;                // the unit's, 0 when none runs
    std::string unknown_why; // why it is unknown whether the unit runs
    Values state;
    int state_error;    // the errno when the state file cannot be read
    std::string conf;   // the daemon's configuration
    int served_stratum; // by that configuration as the unit read it, -1 unknown
    long long age;      // -1 without a take
    bool asked;         // a daemon to ask is named
    DaemonAnswer answer;
    std::string process; // the daemon's process name, empty when none runs
    int daemon_pid;
};

View gather() {
    View v{};
    v.running = control_fifo_read(v.unknown_why);
    v.state = read_section(kStateFilePath, "[State]", &v.state_error);
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

std::string unit_text(const View& v) {
    if (v.running == Running::unknown) return "unknown to this user (" + v.unknown_why + ")";
    if (v.running == Running::no || (v.running == Running::yes && unit_word(v) == "running"))
        return unit_word(v);
    return unit_word(v) + " (pid " + std::to_string(v.pid) + ")";
}

std::string serving_text(const View& v) {
    if (v.running == Running::unknown) return "unknown";
    if (verdict(v) == 0) return "yes (serving)";
    if (unit_serves(v)) return "no (the unit serves, the NTP daemon disagrees)";
    return "no (" + unit_reason(v) + ")";
}

std::string process_text(const View& v) {
    return v.daemon_pid > 0 ? "process " + v.process + " " + std::to_string(v.daemon_pid)
                            : "no ntpd or chronyd process";
}

std::string answer_text(const View& v) {
    const DaemonAnswer& a = v.answer;
    if (!v.asked) return "none asked: " + std::string(kNoDaemonNamed);
    if (!a.answered) return "none from " + a.address + " (" + a.failure + ")";
    return format("leap %d, stratum %d, refid %s, root delay %.3f ms, root dispersion %.3f ms, "
                  "offset %+.3f ms",
                  a.leap, a.stratum, a.refid.c_str(), a.root_delay_ms, a.root_dispersion_ms,
                  a.offset_ms);
}

// The last update asked for: its result, when, and why it was refused or
// which key signed it.
std::string update_text(const Values& s) {
    const std::string result = get(s, "Update", "none");
    if (result == "none") return "none";
    const std::string when = local_time(integer(s, "UpdateTime").value_or(0));
    return result == "refused" ? "refused " + when + ": " + get(s, "UpdateDetail")
                               : result + " " + when + ", signed by key " + get(s, "UpdateDetail");
}

// The bit error rate that the tuner measured, in units of 1e-5; none at 1 and
// above (100000: every bit wrong, as the unit records a tuner that gives none).
std::optional<long long> ber(const Values& s) {
    const auto value = integer(s, "BER");
    return value && *value >= 0 && *value < 100000 ? value : std::nullopt;
}

std::string reception_text(const View& v) {
    const Values& s = v.state;
    if (!state_current(v)) return "unknown (" + unit_reason(v) + ")";
    const auto measured = ber(s);
    return (get(s, "Lock") == "1" ? "locked" : "no lock") + std::string(", UHF-") +
           get(s, "Channel") + ", level " + get(s, "Level") + ", SNR " + get(s, "SNR") +
           " dB, BER " + (measured ? std::to_string(*measured) + "e-5" : "unknown");
}

std::string holdover_text(const View& v) {
    if (!state_current(v)) return "unknown (" + unit_reason(v) + ")";
    return get(v.state, "Holdover") == "1"
               ? "yes, " + std::to_string(v.age) + " s since the last take"
               : "no";
}

void print_text(const View& v) {
    const Values& s = v.state;
    const auto taken = broadcast_time(s);
    const std::string age =
        v.age < 0 || !taken
            ? "none yet"
            : format("%04d/%02d/%02d %02d:%02d:%02d JST (%lld s ago)", taken->year, taken->month,
                     taken->day, taken->hour, taken->minute, taken->second, v.age);
    std::string delivery = get(s, "Delivery");
    if (delivery == "shm")
        delivery += ", unit " + get(s, "ShmUnit") + ", segment count " + get(s, "ShmCount");
    const std::string stratum = v.served_stratum < 0 ? "unknown" : std::to_string(v.served_stratum);
    if (const std::string other = disagreement(v); !other.empty())
        std::printf("Disagreement : %s\n", other.c_str());
    std::printf("Unit         : %s\n", unit_text(v).c_str());
    std::printf("Serving      : %s\n", serving_text(v).c_str());
    if (const std::string conflict = get(s, "Conflict", ""); !conflict.empty())
        std::printf("Conflict     : %s\n", conflict.c_str());
    if (s.empty()) {
        const std::string path = unit_path(kStateFilePath);
        if (v.state_error == 0 || v.state_error == ENOENT)
            std::printf("State        : none published in %s\n", path.c_str());
        else
            std::printf("State        : cannot read %s: %s\n", path.c_str(),
                        std::strerror(v.state_error));
        return;
    }
    std::printf("Holdover     : %s\n", holdover_text(v).c_str());
    std::printf("Reception    : %s\n", reception_text(v).c_str());
    std::printf("Last take    : %s\n", age.c_str());
    std::printf("Delivery     : %s\n", delivery.c_str());
    std::printf("NTP daemon   : %s (the unit's view), %s, stratum %s served by %s (setting %s)\n",
                get(s, "NtpDaemon").c_str(), process_text(v).c_str(), stratum.c_str(),
                v.conf.c_str(), get(s, "Stratum").c_str());
    std::printf("NTP answer   : %s\n", answer_text(v).c_str());
    if (get(s, "IP", "").empty())
        std::printf("Network      : none applied yet\n");
    else
        std::printf("Network      : %s netmask %s gateway %s dns %s %s\n", get(s, "IP").c_str(),
                    get(s, "NetMask").c_str(), get(s, "Gateway").c_str(), get(s, "DnsP").c_str(),
                    get(s, "DnsS").c_str());
    std::printf("Version      : %s, started %s\n", get(s, "Version").c_str(),
                local_time(integer(s, "Started").value_or(0)).c_str());
    std::printf("Last update  : %s\n", update_text(s).c_str());
}

// True or false; null when this user cannot tell.
Json known(const View& v, bool value) {
    return v.running == Running::unknown ? Json() : Json(value);
}

// What the state file says now (a state of this run), else null.
Json current(const View& v, Json value) {
    return state_current(v) ? value : Json();
}

Json rounded(double value) {
    return std::round(value * 1000) / 1000;
}

void print_json(const View& v) {
    const Values& s = v.state;
    const DaemonAnswer& a = v.answer;
    const bool answered = v.asked && a.answered;
    const auto if_answered = [answered](Json value) { return answered ? value : Json(); };
    const auto asked = [&v](Json value) { return v.asked ? value : Json(); };
    const auto taken = broadcast_time(s);
    const bool network = s.contains("IP");
    const bool updated = get(s, "Update", "none") != "none";
    const std::pair<const char*, Json> fields[] = {
        {"running", known(v, v.running != Running::no)},
        {"unit", v.running == Running::unknown ? Json() : Json(unit_word(v))},
        {"serving", known(v, verdict(v) == 0)},
        {"reason", reason_of(v)},
        {"unit_serving", known(v, unit_serves(v))},
        {"unit_reason", v.running == Running::yes ? text_or_null(s, "Reason") : Json()},
        {"conflict", text_or_null(s, "Conflict")},
        {"holdover", current(v, get(s, "Holdover") == "1")},
        {"locked", current(v, get(s, "Lock") == "1")},
        {"channel", number_or_null(integer(s, "Channel"))},
        {"level", current(v, number_or_null(integer(s, "Level")))},
        {"snr_db", current(v, number_or_null(integer(s, "SNR")))},
        {"ber_e5", current(v, number_or_null(ber(s)))},
        {"last_take",
         v.age < 0 || !taken
             ? Json()
             : Json(format("%04d-%02d-%02dT%02d:%02d:%02d+09:00", taken->year, taken->month,
                           taken->day, taken->hour, taken->minute, taken->second))},
        {"last_take_age_seconds", v.age < 0 ? Json() : Json(v.age)},
        {"delivery", text_or_null(s, "Delivery")},
        {"shm_unit", number_or_null(integer(s, "ShmUnit"))},
        {"shm_count", number_or_null(integer(s, "ShmCount"))},
        {"ntp_daemon", text_or_null(s, "NtpDaemon")},
        {"ntp_served_stratum", v.served_stratum < 0 ? Json() : Json(v.served_stratum)},
        {"ntp_daemon_conf", v.conf},
        {"ntp_daemon_process", v.daemon_pid > 0 ? Json(v.process) : Json()},
        {"ntp_daemon_pid", v.daemon_pid > 0 ? Json(v.daemon_pid) : Json()},
        {"ntp_query", asked(a.address)},
        {"ntp_answered", asked(a.answered)},
        {"ntp_synchronised", asked(daemon_synchronised(a))},
        {"ntp_leap", if_answered(a.leap)},
        {"ntp_stratum", if_answered(a.stratum)},
        {"ntp_refid", if_answered(LogEscapedControls(a.refid))},
        {"ntp_root_delay_ms", if_answered(rounded(a.root_delay_ms))},
        {"ntp_root_dispersion_ms", if_answered(rounded(a.root_dispersion_ms))},
        {"ntp_offset_ms", if_answered(rounded(a.offset_ms))},
        {"ip", text_or_null(s, "IP")},
        {"netmask", text_or_null(s, "NetMask")},
        {"gateway", text_or_null(s, "Gateway")},
        {"dns", network ? Json{text_or_null(s, "DnsP"), text_or_null(s, "DnsS")} : Json()},
        {"last_update", updated ? text_or_null(s, "Update") : Json()},
        {"last_update_time", updated ? number_or_null(integer(s, "UpdateTime")) : Json()},
        {"last_update_detail", updated ? text_or_null(s, "UpdateDetail") : Json()},
        {"version", text_or_null(s, "Version")},
        {"started", number_or_null(integer(s, "Started"))},
        {"pid", v.pid > 0 ? Json(v.pid) : Json()},
    };
    Json object = Json::object();
    for (const auto& [name, value] : fields)
        object[name] = value;
    std::printf("%s\n", object.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

} // namespace

int orvctl_status(bool json) {
    const View view = gather();
    if (json)
        print_json(view);
    else
        print_text(view);
    return verdict(view);
}

int orvctl_serving(std::string& reason) {
    const View view = gather();
    reason = reason_of(view);
    return verdict(view);
}

long orvctl_lock_holder() {
    return lock_holder();
}
