// orvctl status: the published state file, the network settings and the NTP
// daemon's configuration, with whether the unit runs (a reader on its control
// FIFO, or unknown to a user who may not open it), shown for a person or as
// JSON for monitoring.
#include "orvctl_status.h"

#include "main/main_loop.h"
#include "main/unit_state.h"
#include "os/unit_path.h"
#include "settings/ini.h"
#include "tot/ntp_server.h"
#include "tot/served_stratum.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kNetworkFile = "/var/kelvatro/conf/ORV_Network.ini";

using Values = std::map<std::string, std::string>;

// The section's keys; `error` is the errno when the file cannot be read.
Values read_section(const char* path, const char* section, int* error = nullptr) {
    Values values;
    const int result = IniReadFile(
        path, section, [&values](const char* key, const char* value) { values[key] = value; });
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

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out += c;
    }
    return out + "\"";
}

// A value that is a number as it stands in JSON, or null.
std::string json_number(const std::string& text) {
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return text.empty() || *end ? "null" : text;
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
    int state_error; // the errno when the state file cannot be read
    Values network;
    std::string conf;   // the daemon's configuration
    int served_stratum; // by that configuration, -1 unknown
    long long age;      // -1 without a take
};

View gather() {
    View v{};
    v.running = control_fifo_read(v.unknown_why);
    v.state = read_section(kStateFilePath, "[State]", &v.state_error);
    v.network = read_section(kNetworkFile, "[ORVNetwork]");
    v.conf = ntp_daemon_conf();
    v.served_stratum = served_stratum();
    const long long taken = number(v.state, "LastTake");
    v.age = taken > 0 ? static_cast<long long>(std::time(nullptr)) - taken : -1;
    return v;
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

void print_text(const View& v) {
    const Values& s = v.state;
    const std::string age =
        v.age < 0 ? "none yet" : get(s, "LastTOT") + " (" + std::to_string(v.age) + " s ago)";
    std::string delivery = get(s, "Delivery");
    if (delivery == "shm")
        delivery += ", unit " + get(s, "ShmUnit") + ", segment count " + get(s, "ShmCount");
    const std::string stratum = v.served_stratum < 0 ? "unknown" : std::to_string(v.served_stratum);
    std::printf("Unit         : %s\n", unit_text(v).c_str());
    std::printf("Serving      : %s\n", serving_text(v).c_str());
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
    std::printf("NTP daemon   : %s, stratum %s served by %s (setting %s)\n",
                get(s, "NtpDaemon").c_str(), stratum.c_str(), v.conf.c_str(),
                get(s, "Stratum").c_str());
    std::printf("Network      : %s netmask %s gateway %s dns %s %s\n", get(v.network, "IP").c_str(),
                get(v.network, "NetMask").c_str(), get(v.network, "Gateway").c_str(),
                get(v.network, "DnsP").c_str(), get(v.network, "DnsS").c_str());
    std::printf("Version      : %s, started %s\n", get(s, "Version").c_str(),
                number(s, "Started") > 0 ? local_time(number(s, "Started")).c_str() : "unknown");
}

const char* json_of(Running answer) {
    return answer == Running::yes ? "true" : answer == Running::no ? "false" : "null";
}

void print_json(const View& v) {
    const Values& s = v.state;
    const std::string holdover = get(s, "Holdover");
    const Running serving =
        v.running == Running::yes && get(s, "Serving") != "1" ? Running::no : v.running;
    const std::string reason = v.running == Running::yes ? get(s, "Reason")
                               : v.running == Running::no
                                   ? "unit not running"
                                   : "unknown to this user: " + v.unknown_why;
    const std::string stratum = v.served_stratum < 0 ? "" : std::to_string(v.served_stratum);
    std::printf(
        "{\"running\": %s, \"serving\": %s, \"reason\": %s, \"holdover\": %s, "
        "\"locked\": %s, \"channel\": %s, \"level\": %s, \"snr_db\": %s, \"ber_e5\": %s, "
        "\"last_take\": %s, \"last_take_age_seconds\": %s, \"delivery\": %s, "
        "\"shm_unit\": %s, \"shm_count\": %s, \"ntp_daemon\": %s, \"ntp_served_stratum\": %s, "
        "\"ip\": %s, \"netmask\": %s, \"gateway\": %s, \"dns\": [%s, %s], \"version\": %s, "
        "\"started\": %s, "
        "\"pid\": %s}\n",
        json_of(v.running), json_of(serving), json_string(reason).c_str(),
        holdover == "1"   ? "true"
        : holdover == "0" ? "false"
                          : "null",
        get(s, "Lock") == "1" ? "true" : "false", json_number(get(s, "Channel", "")).c_str(),
        json_number(get(s, "Level", "")).c_str(), json_number(get(s, "SNR", "")).c_str(),
        json_number(get(s, "BER", "")).c_str(),
        v.age < 0 ? "null" : json_string(get(s, "LastTOT")).c_str(),
        v.age < 0 ? "null" : std::to_string(v.age).c_str(), json_string(get(s, "Delivery")).c_str(),
        json_number(get(s, "ShmUnit", "")).c_str(), json_number(get(s, "ShmCount", "")).c_str(),
        json_string(get(s, "NtpDaemon")).c_str(), json_number(stratum).c_str(),
        json_string(get(v.network, "IP")).c_str(), json_string(get(v.network, "NetMask")).c_str(),
        json_string(get(v.network, "Gateway")).c_str(), json_string(get(v.network, "DnsP")).c_str(),
        json_string(get(v.network, "DnsS")).c_str(), json_string(get(s, "Version")).c_str(),
        json_number(get(s, "Started", "")).c_str(),
        json_number(v.running == Running::yes ? get(s, "Pid", "") : "").c_str());
}

} // namespace

int orvctl_status(bool json) {
    const View view = gather();
    if (json)
        print_json(view);
    else
        print_text(view);
    return 0;
}
