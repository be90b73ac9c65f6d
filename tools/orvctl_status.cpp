// orvctl status: the unit's view (orvctl_view) shown for a person as aligned
// lines, or as one JSON object for monitoring, both from the same view, every
// text from a file with its control characters escaped.
#include "orvctl_status.h"
#include "orvctl_view.h"

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

using namespace status_view;
using Json = nlohmann::ordered_json;

// The value as a JSON string, null when the file lacks it.
Json text_or_null(const Values& v, const char* key) {
    const auto it = v.find(key);
    return it == v.end() ? Json() : Json(it->second);
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
