// orvctl status: the published state file, the network settings and the NTP
// daemon's configuration, with whether the unit runs (a reader on its control
// FIFO), shown for a person or as JSON for monitoring.
#include "orvctl_status.h"

#include "main/main_loop.h"
#include "main/unit_state.h"
#include "os/deploy_settings.h"
#include "os/unit_path.h"
#include "settings/ini.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kNetworkFile = "/var/kelvatro/conf/ORV_Network.ini";
constexpr const char* kNtpConf = "/var/kelvatro/conf/ntp.conf";
constexpr const char* kChronyConf = "/etc/chrony/conf.d/orv-main.conf";

using Values = std::map<std::string, std::string>;

Values read_section(const char* path, const char* section) {
    Values values;
    IniReadFile(path, section,
                [&values](const char* key, const char* value) { values[key] = value; });
    return values;
}

std::string get(const Values& v, const char* key, const char* fallback = "unknown") {
    const auto it = v.find(key);
    return it == v.end() || it->second.empty() ? fallback : it->second;
}

long long number(const Values& v, const char* key) {
    return std::atoll(get(v, key, "0").c_str());
}

// The daemon's configuration that the unit writes: chrony's file of the unit,
// or ntp.conf for ntpsec and ntpd.
std::string daemon_conf() {
    return deploy_setting("ORV_NTP_DAEMON") == "chrony"
               ? deploy_setting("ORV_CHRONY_CONF", kChronyConf)
               : kNtpConf;
}

// The stratum on the unit's clock line ("fudge", "local" or "refclock") of the
// configuration, or empty.
std::string configured_stratum(const std::string& path) {
    std::ifstream conf(unit_path(path));
    std::string stratum;
    for (std::string line; std::getline(conf, line);) {
        std::istringstream words(line);
        std::string first, word;
        words >> first;
        if (first != "fudge" && first != "local" && first != "refclock") continue;
        while (words >> word)
            if (word == "stratum") words >> stratum;
    }
    return stratum;
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

struct View {
    bool running;
    Values state;
    Values network;
    std::string conf; // the daemon's configuration
    std::string stratum;
    long long age; // -1 without a take
};

View gather() {
    View v{control_fifo_read(),
           read_section(kStateFilePath, "[State]"),
           read_section(kNetworkFile, "[ORVNetwork]"),
           daemon_conf(),
           "",
           -1};
    v.stratum = configured_stratum(v.conf);
    const long long taken = number(v.state, "LastTake");
    if (taken > 0) v.age = static_cast<long long>(std::time(nullptr)) - taken;
    return v;
}

std::string serving_text(const View& v) {
    if (!v.running) return "no (unit not running)";
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
    const std::string stratum = v.stratum.empty() ? "unknown" : v.stratum;
    std::printf("Unit         : %s\n", v.running ? "running" : "not running");
    std::printf("Serving      : %s\n", serving_text(v).c_str());
    if (s.empty()) {
        std::printf("State        : none published in %s\n", unit_path(kStateFilePath).c_str());
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
    std::printf("NTP daemon   : %s, stratum %s in %s (setting %s)\n", get(s, "NtpDaemon").c_str(),
                stratum.c_str(), v.conf.c_str(), get(s, "Stratum").c_str());
    std::printf("Network      : %s netmask %s gateway %s dns %s %s\n", get(v.network, "IP").c_str(),
                get(v.network, "NetMask").c_str(), get(v.network, "Gateway").c_str(),
                get(v.network, "DnsP").c_str(), get(v.network, "DnsS").c_str());
    std::printf("Version      : %s, started %s\n", get(s, "Version").c_str(),
                number(s, "Started") > 0 ? local_time(number(s, "Started")).c_str() : "unknown");
}

void print_json(const View& v) {
    const Values& s = v.state;
    const std::string holdover = get(s, "Holdover");
    const bool serving = v.running && get(s, "Serving") == "1";
    std::printf(
        "{\"running\": %s, \"serving\": %s, \"reason\": %s, \"holdover\": %s, "
        "\"locked\": %s, \"channel\": %s, \"level\": %s, \"snr_db\": %s, \"ber_e5\": %s, "
        "\"last_take\": %s, \"last_take_age_seconds\": %s, \"delivery\": %s, "
        "\"shm_unit\": %s, \"shm_count\": %s, \"ntp_daemon\": %s, \"ntp_stratum\": %s, "
        "\"ip\": %s, \"netmask\": %s, \"gateway\": %s, \"version\": %s, \"started\": %s}\n",
        v.running ? "true" : "false", serving ? "true" : "false",
        json_string(v.running ? get(s, "Reason") : "unit not running").c_str(),
        holdover == "1"   ? "true"
        : holdover == "0" ? "false"
                          : "null",
        get(s, "Lock") == "1" ? "true" : "false", json_number(get(s, "Channel", "")).c_str(),
        json_number(get(s, "Level", "")).c_str(), json_number(get(s, "SNR", "")).c_str(),
        json_number(get(s, "BER", "")).c_str(),
        v.age < 0 ? "null" : json_string(get(s, "LastTOT")).c_str(),
        v.age < 0 ? "null" : std::to_string(v.age).c_str(), json_string(get(s, "Delivery")).c_str(),
        json_number(get(s, "ShmUnit", "")).c_str(), json_number(get(s, "ShmCount", "")).c_str(),
        json_string(get(s, "NtpDaemon")).c_str(), json_number(v.stratum).c_str(),
        json_string(get(v.network, "IP")).c_str(), json_string(get(v.network, "NetMask")).c_str(),
        json_string(get(v.network, "Gateway")).c_str(), json_string(get(s, "Version")).c_str(),
        json_number(get(s, "Started", "")).c_str());
}

} // namespace

bool control_fifo_read() {
    const int fd = open(unit_path(kControlFifoPath).c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    const bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    close(fd);
    return fifo;
}

int orvctl_status(bool json) {
    const View view = gather();
    if (json)
        print_json(view);
    else
        print_text(view);
    return 0;
}
