// orvctl status: the published state file, with the network settings applied,
// and the NTP daemon's configuration, with whether the unit runs (a reader on
// its control FIFO, or unknown to a user who may not open it) and what the
// daemon itself answers, shown for a person or as JSON for monitoring, every
// text from a file with its control characters escaped; and the verdict that
// the exit status and orvctl wait give of it.
#include "orvctl_status.h"

#include "daemon_check.h"
#include "log/status_log.h"
#include "main/main_loop.h"
#include "main/unit_state.h"
#include "os/unit_path.h"
#include "settings/ini.h"
#include "tot/ntp_server.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

using Values = std::map<std::string, std::string>;

// The section's keys; `error` is the errno when the file cannot be read. Each
// value comes with its control characters escaped: whoever wrote the file, it
// is only shown.
Values read_section(const char* path, const char* section, int* error = nullptr) {
    Values values;
    const int result = IniReadFile(path, section, [&values](const char* key, const char* value) {
        values[key] = LogEscapedControls(value);
    });
    if (error) *error = result == 0 ? 0 : errno;
    return values;
}

std::string get(const Values& v, const char* key, const char* fallback = "unknown") {
    const auto it = v.find(key);
    return it == v.end() || it->second.empty() ? fallback : it->second;
}

long long number(const Values& v, const char* key) {
    return std::atoll(get(v, key, "0").c_str());
}

std::string local_time(long long seconds) {
    const time_t t = time_t(seconds);
    tm broken{};
    char text[32];
    if (!localtime_r(&t, &broken) ||
        !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &broken))
        return "unknown";
    return text;
}

// A JSON string: its control characters escaped (the texts of files come so
// already), then its quotes and backslashes.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : LogEscapedControls(text)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A value that is a number as it stands in JSON, or null.
std::string json_number(const std::string& text) {
    static const std::regex number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?)");
    return std::regex_match(text, number) ? text : "null";
}

// Whether a process reads the control FIFO. Only a FIFO without a reader, or
// none (nothing or something else in its place: the unit makes it anew at
// every pass), tells that the unit is not running; a FIFO that this user may
// not open tells nothing, and `why` then says so.
enum class Running { yes, no, unknown };

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

struct View {
    Running running;
    std::string unknown_why; // why it is unknown whether the unit runs
    Values state;
    int state_error;    // the errno when the state file cannot be read
    std::string conf;   // the daemon's configuration
    int served_stratum; // by that configuration as the unit read it, -1 unknown
    long long age;      // -1 without a take
    DaemonAnswer answer;
    std::string process; // the daemon's process name, empty when none runs
    int pid;
};

View gather() {
    View v{};
    v.running = control_fifo_read(v.unknown_why);
    v.state = read_section(kStateFilePath, "[State]", &v.state_error);
    v.conf = LogEscapedControls(ntp_daemon_conf());
    v.served_stratum = std::atoi(get(v.state, "ServedStratum", "-1").c_str()); // ntp.conf is root's
    const long long taken = number(v.state, "LastTake");
    v.age = taken > 0 ? static_cast<long long>(std::time(nullptr)) - taken : -1;
    v.answer = daemon_query();
    v.pid = daemon_process(v.process);
    return v;
}

// The most root distance (root delay / 2 + root dispersion) that chronyd with
// default settings accepts (its maxdistance).
constexpr double kMaxRootDistanceMs = 3000;

std::string format(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

bool unit_serves(const View& v) {
    return v.running == Running::yes && get(v.state, "Serving") == "1";
}

// Why the daemon does not serve what the unit believes it serves; empty when
// they agree.
std::string disagreement(const View& v) {
    const DaemonAnswer& a = v.answer;
    if (!unit_serves(v)) return "";
    if (!a.answered)
        return "the NTP daemon does not answer on " + a.address + " (" + a.failure + ")";
    if (!daemon_synchronised(a))
        return format("the NTP daemon answers unsynchronised (leap %d, stratum %d)", a.leap,
                      a.stratum);
    const double distance_ms = daemon_root_distance_ms(a);
    if (distance_ms > kMaxRootDistanceMs)
        return format(
            "the NTP daemon's root distance %.3f s exceeds the %.1f s a default client accepts",
            distance_ms / 1000, kMaxRootDistanceMs / 1000);
    return "";
}

// 0 served and the daemon agrees, 1 not served, 2 unknown.
int verdict(const View& v) {
    if (v.running != Running::yes || v.state.empty()) return 2;
    return unit_serves(v) && disagreement(v).empty() ? 0 : 1;
}

std::string reason_of(const View& v) {
    if (const std::string other = disagreement(v); !other.empty()) return other;
    if (v.running == Running::no) return "unit not running";
    if (v.running == Running::unknown) return "unknown to this user: " + v.unknown_why;
    return v.state.empty() ? "no state published yet" : get(v.state, "Reason");
}

std::string unit_text(const View& v) {
    if (v.running == Running::unknown) return "unknown to this user (" + v.unknown_why + ")";
    if (v.running == Running::yes && get(v.state, "Reason") == "restarting")
        return "restarting (pid " + get(v.state, "Pid") + ")";
    return v.running == Running::yes ? "running" : "not running";
}

std::string serving_text(const View& v) {
    if (v.running == Running::no) return "no (unit not running)";
    if (v.running == Running::unknown) return "unknown";
    if (v.state.empty()) return "no (no state published yet)";
    const std::string reason = get(v.state, "Reason");
    return (get(v.state, "Serving") == "1" ? "yes (" : "no (") + reason + ")";
}

std::string process_text(const View& v) {
    return v.pid > 0 ? "process " + v.process + " " + std::to_string(v.pid)
                     : "no ntpd or chronyd process";
}

std::string answer_text(const DaemonAnswer& a) {
    if (!a.answered) return "none from " + a.address + " (" + a.failure + ")";
    return format("leap %d, stratum %d, refid %s, root delay %.3f ms, root dispersion %.3f ms, "
                  "offset %+.3f ms",
                  a.leap, a.stratum, a.refid.c_str(), a.root_delay_ms, a.root_dispersion_ms,
                  a.offset_ms);
}

void print_text(const View& v) {
    const Values& s = v.state;
    const std::string age =
        v.age < 0 ? "none yet" : get(s, "LastTOT") + " (" + std::to_string(v.age) + " s ago)";
    std::string delivery = get(s, "Delivery");
    if (delivery == "shm")
        delivery += ", unit " + get(s, "ShmUnit") + ", segment count " + get(s, "ShmCount");
    const std::string stratum = v.served_stratum < 0 ? "unknown" : std::to_string(v.served_stratum);
    if (const std::string other = disagreement(v); !other.empty())
        std::printf("Disagreement : the unit serves, but %s\n", other.c_str());
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
    const std::string holdover = get(s, "Holdover") == "1"
                                     ? "yes, " + std::to_string(v.age) + " s since the last take"
                                     : "no";
    std::printf("Holdover     : %s\n", holdover.c_str());
    std::printf("Reception    : %s, UHF-%s, level %s, SNR %s dB, BER %se-5\n",
                get(s, "Lock") == "1" ? "locked" : "no lock", get(s, "Channel").c_str(),
                get(s, "Level").c_str(), get(s, "SNR").c_str(), get(s, "BER").c_str());
    std::printf("Last take    : %s\n", age.c_str());
    std::printf("Delivery     : %s\n", delivery.c_str());
    std::printf("NTP daemon   : %s (the unit's view), %s, stratum %s served by %s (setting %s)\n",
                get(s, "NtpDaemon").c_str(), process_text(v).c_str(), stratum.c_str(),
                v.conf.c_str(), get(s, "Stratum").c_str());
    std::printf("NTP answer   : %s\n", answer_text(v.answer).c_str());
    if (get(s, "IP", "").empty())
        std::printf("Network      : none applied yet\n");
    else
        std::printf("Network      : %s netmask %s gateway %s dns %s %s\n", get(s, "IP").c_str(),
                    get(s, "NetMask").c_str(), get(s, "Gateway").c_str(), get(s, "DnsP").c_str(),
                    get(s, "DnsS").c_str());
    std::printf("Version      : %s, started %s\n", get(s, "Version").c_str(),
                number(s, "Started") > 0 ? local_time(number(s, "Started")).c_str() : "unknown");
}

const char* json_of(Running answer) {
    return answer == Running::yes ? "true" : answer == Running::no ? "false" : "null";
}

const char* json_bool(bool value) {
    return value ? "true" : "false";
}

void print_json(const View& v) {
    const Values& s = v.state;
    const DaemonAnswer& a = v.answer;
    const std::string holdover = get(s, "Holdover");
    const Running unit_serving =
        v.running == Running::yes && get(s, "Serving") != "1" ? Running::no : v.running;
    const Running serving =
        unit_serving == Running::yes && verdict(v) != 0 ? Running::no : unit_serving;
    const std::string stratum = v.served_stratum < 0 ? "" : std::to_string(v.served_stratum);
    const auto answered = [&a](const std::string& value) { return a.answered ? value : "null"; };
    const std::pair<const char*, std::string> fields[] = {
        {"running", json_of(v.running)},
        {"serving", json_of(serving)},
        {"reason", json_string(reason_of(v))},
        {"unit_serving", json_of(unit_serving)},
        {"unit_reason", v.running == Running::yes ? json_string(get(s, "Reason")) : "null"},
        {"conflict", get(s, "Conflict", "").empty() ? "null" : json_string(get(s, "Conflict"))},
        {"holdover", holdover == "1"   ? "true"
                     : holdover == "0" ? "false"
                                       : "null"},
        {"locked", json_bool(get(s, "Lock") == "1")},
        {"channel", json_number(get(s, "Channel", ""))},
        {"level", json_number(get(s, "Level", ""))},
        {"snr_db", json_number(get(s, "SNR", ""))},
        {"ber_e5", json_number(get(s, "BER", ""))},
        {"last_take", v.age < 0 ? "null" : json_string(get(s, "LastTOT"))},
        {"last_take_age_seconds", v.age < 0 ? "null" : std::to_string(v.age)},
        {"delivery", json_string(get(s, "Delivery"))},
        {"shm_unit", json_number(get(s, "ShmUnit", ""))},
        {"shm_count", json_number(get(s, "ShmCount", ""))},
        {"ntp_daemon", json_string(get(s, "NtpDaemon"))},
        {"ntp_served_stratum", json_number(stratum)},
        {"ntp_daemon_conf", json_string(v.conf)},
        {"ntp_daemon_process", v.pid > 0 ? json_string(v.process) : "null"},
        {"ntp_daemon_pid", v.pid > 0 ? std::to_string(v.pid) : "null"},
        {"ntp_query", json_string(a.address)},
        {"ntp_answered", json_bool(a.answered)},
        {"ntp_synchronised", json_bool(daemon_synchronised(a))},
        {"ntp_leap", answered(std::to_string(a.leap))},
        {"ntp_stratum", answered(std::to_string(a.stratum))},
        {"ntp_refid", answered(json_string(a.refid))},
        {"ntp_root_delay_ms", answered(format("%.3f", a.root_delay_ms))},
        {"ntp_root_dispersion_ms", answered(format("%.3f", a.root_dispersion_ms))},
        {"ntp_offset_ms", answered(format("%.3f", a.offset_ms))},
        {"ip", json_string(get(s, "IP"))},
        {"netmask", json_string(get(s, "NetMask"))},
        {"gateway", json_string(get(s, "Gateway"))},
        {"dns", format("[%s, %s]", json_string(get(s, "DnsP")).c_str(),
                       json_string(get(s, "DnsS")).c_str())},
        {"version", json_string(get(s, "Version"))},
        {"started", json_number(get(s, "Started", ""))},
        {"pid", json_number(v.running == Running::yes ? get(s, "Pid", "") : "")},
    };
    std::string line;
    for (const auto& [name, value] : fields)
        line += (line.empty() ? "{" : ", ") + json_string(name) + ": " + value;
    std::printf("%s}\n", line.c_str());
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
