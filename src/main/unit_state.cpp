// The published state file and the metrics file: gathered from the TOT state,
// the NTP daemon and the delivery of broadcast time, written whole and only
// when their text changed.
#include "main/unit_state.h"

#include "board/device_nodes.h"
#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/clock.h"
#include "os/deploy_settings.h"
#include "os/file_access.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/system_file.h"
#include "tot/clock_authority.h"
#include "tot/holdover.h"
#include "tot/ntp_server.h"
#include "tot/ntp_shm.h"
#include "tot/reception.h"
#include "tot/served_stratum.h"
#include "tot/take_counters.h"
#include "tot/time_delivery.h"
#include "tot/tot_state.h"
#include "tot/tot_step.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

// A metrics file is read by node_exporter, not shared with the web front end.
constexpr FileAccess kMetricsAccess{0644, kKeepGroup};
constexpr const char* kUpHelp = "Whether orv-main runs (1) or has ended (0).";
constexpr const char* kStartHelp = "Start of the program, seconds since the epoch.";

// A file's last text written, and the run of its failed writes.
struct Output {
    std::string text;
    LogRepeat failing;
};

struct Published {
    int64_t started_s = 0;
    Output state;
    Output metrics;
};

Published published;

int64_t now_s() {
    return system_clock_ns() / 1000000000;
}

std::string serving_reason() {
    const std::string why = tot_state.miss_reason ? tot_state.miss_reason : "starting";
    if (!ntp_server.running && !board_device_missing().empty()) return board_device_missing();
    if (!tot_function_enabled()) return "no TOT function";
    if (holdover.daemon_stopped) return "stopped at the holdover limit: " + why;
    if (!time_delivery_ready()) return "no shared memory segment of the unit's own";
    if (!ntp_server.running && ntp_server.stop_reason)
        return std::string("NTP daemon stopped: ") + ntp_server.stop_reason;
    if (!ntp_server.running)
        return tot_state.taken_at_s == 0 ? "first take pending: " + why
                                         : "NTP daemon stopped: " + why;
    if (holdover.serving) return "holdover: " + why;
    return "serving";
}

// The daemon as ORV_NTP_DAEMON names it; "ntp" for the init script of ntpd.
std::string daemon_name() {
    const DeployValue daemon = deploy_value("ORV_NTP_DAEMON");
    return daemon.text.empty() ? "ntp" : daemon.text;
}

UnitState gather() {
    std::lock_guard lock(tot_mutex);
    const TotDate& d = tot_state.last_date;
    const TotTime& t = tot_state.last_time;
    const bool shm = time_delivery_shm();
    return UnitState{published.started_s,
                     getpid(),
                     tot_function_enabled() && ntp_server.running,
                     serving_reason(),
                     holdover.serving,
                     tot_function_enabled(),
                     tot_status.lock,
                     tot_settings.Set_TOT_CH_NUM,
                     int(tot_status.level),
                     tot_status.snr,
                     int(tot_status.ber),
                     tot_state.taken_at_s,
                     d.year,
                     d.month,
                     d.day,
                     t.hour,
                     t.minute,
                     t.second,
                     shm,
                     shm_delivery_unit(),
                     shm ? ntp_shm_last_count() : -1,
                     ntp_server.running,
                     tot_settings.Set_TOT_STRATUM,
                     served_stratum(),
                     reception.poor,
                     take_counters,
                     daemon_name(),
                     time_source_conflict(),
                     daemon_view(),
                     network_applied,
                     last_update};
}

void write_if_changed(const std::string& path, const std::string& text, Output& output,
                      FileAccess access) {
    if (text == output.text) return;
    if (atomic_write_file(path.c_str(), text, access) != 0) {
        LogRepeated(output.failing, 3, "Cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        output.text.clear();
        return;
    }
    LogRepeatEnd(output.failing);
    output.text = text;
}

void print_gauge(std::string& out, const char* name, const char* help, double value) {
    char line[256];
    std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s gauge\n%s %.10g\n", name, help, name,
                  name, value);
    out += line;
}

void print_counter(std::string& out, const char* name, const char* help, uint64_t value) {
    char line[256];
    std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s counter\n%s %llu\n", name, help, name,
                  name, static_cast<unsigned long long>(value));
    out += line;
}

void print_counters(std::string& out, const TakeCounters& counters) {
    print_counter(out, "orv_takes_total", "Broadcast times taken.", counters.takes);
    out += "# HELP orv_take_failures_total Takes that failed after the JST flag, by reason.\n"
           "# TYPE orv_take_failures_total counter\n";
    for (size_t kind = 0; kind < kTakeFailureKindCount; ++kind)
        out += std::string("orv_take_failures_total{reason=\"") + kTakeFailureKinds[kind].second +
               "\"} " + std::to_string(counters.failures[kind]) + "\n";
    print_counter(out, "orv_holdovers_total", "Holdovers begun.", counters.holdovers);
    print_counter(out, "orv_daemon_starts_total", "Starts of the NTP daemon.",
                  counters.daemon_starts);
}

void print_serving_gauges(std::string& out, int serving, int in_holdover) {
    print_gauge(out, "orv_serving", "Whether the NTP daemon serves broadcast time (1) or not (0).",
                serving);
    print_gauge(out, "orv_holdover",
                "Whether the unit serves its free-running clock for want of takes (1) or not (0).",
                in_holdover);
}

// What the NTP daemon answered the unit's last query; nothing before the first
// has had its time.
void print_daemon_answer(std::string& out, const DaemonView& view) {
    if (!view.known) return;
    print_gauge(out, "orv_ntp_synchronised",
                "Whether the NTP daemon answered the unit's query as synchronised (1), or "
                "unsynchronised or not at all (0).",
                daemon_synchronised(view.answer));
    if (!view.answer.answered) return;
    print_gauge(out, "orv_ntp_stratum", "Stratum of the NTP daemon's answer to the unit's query.",
                view.answer.stratum);
    print_gauge(out, "orv_ntp_root_distance_seconds",
                "Root distance (root delay / 2 + root dispersion) of the NTP daemon's answer.",
                daemon_root_distance_ms(view.answer) / 1000);
}

// The metrics file's unit path, empty when there is none or its directory is
// missing (said at start).
std::string metrics_path() {
    const std::string dir = deploy_setting("ORV_METRICS_DIR");
    if (dir.empty() || unit_access(dir.c_str(), F_OK) != 0) return "";
    return dir + "/" + kMetricsFileName;
}

void check_metrics_dir() {
    const std::string dir = deploy_setting("ORV_METRICS_DIR");
    if (!dir.empty() && unit_access(dir.c_str(), F_OK) != 0)
        LogPrint(LOG_TO_BOTH, 3,
                 "ORV_METRICS_DIR %s does not exist: no metrics written until it is made "
                 "(node_exporter's textfile directory), or unset it in /etc/default/orv-main\n",
                 LogEscaped(dir).c_str());
}

// The metrics of a unit between its ticks, written at once.
void publish_brief_metrics(bool up) {
    if (const std::string path = metrics_path(); !path.empty())
        write_if_changed(path, brief_metrics_text(up, published.started_s), published.metrics,
                         kMetricsAccess);
}

// The network settings applied; empty values before the first apply.
std::string network_lines(const std::optional<NetworkSettings>& n) {
    const auto dotted = [&n](const uint8_t a[4]) {
        char text[16] = "";
        if (n) std::snprintf(text, sizeof text, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
        return std::string(text);
    };
    const NetworkSettings none{};
    const NetworkSettings& applied = n ? *n : none;
    return "IP=" + dotted(applied.IP) +
           "\t\t;適用中のIPアドレス\nNetMask=" + dotted(applied.NetMask) +
           "\nGateway=" + dotted(applied.Gateway) + "\nDnsP=" + dotted(applied.DnsP) +
           "\nDnsS=" + dotted(applied.DnsS) + "\n";
}

} // namespace

void unit_state_started() {
    published.started_s = now_s();
    update_result_load();
    check_metrics_dir();
    publish_brief_metrics(true);
}

std::string state_file_text(const UnitState& s) {
    char text[2048];
    std::snprintf(text, sizeof text,
                  "[State]\n"
                  "Version=%s\t\t;プログラムのバージョン\n"
                  "Pid=%d\t\t;プロセスID\n"
                  "Started=%lld\t\t;起動時刻(1970年からの秒)\n"
                  "Serving=%d\t\t;放送時刻でNTPサーバ運用中(0:否,1:中)\n"
                  "Reason=%s\t\t;運用状態の理由\n"
                  "Holdover=%d\t\t;ホールドオーバー(0:否,1:中)\n"
                  "Function=%d\t\t;TOT機能(0:無,1:有)\n"
                  "Lock=%d\nChannel=%d\nLevel=%d\nSNR=%d\nBER=%d\t\t;BER(表示値,1e-5単位)\n"
                  "LastTake=%lld\t\t;最後に放送時刻を取得した時刻(1970年からの秒,0:未取得)\n"
                  "LastTOT=%d/%02d/%02d %02d:%02d:%02d\t;最後に取得した放送時刻\n"
                  "Delivery=%s\t\t;時刻の反映(step:時刻設定,shm:NTP共有メモリ)\n"
                  "ShmUnit=%d\nShmCount=%d\n"
                  "NtpDaemon=%s\t\t;NTPサーバ(running:起動,stopped:停止)\n"
                  "Stratum=%d\t\t;設定されているstratum値\n"
                  "ServedStratum=%d\t\t;NTPサーバが配信するstratum値(-1:不明)\n"
                  "Conflict=%s\t\t;時刻源の設定の競合(空:なし)\n",
                  ORV_PROGRAM_VERSION, s.pid, static_cast<long long>(s.started_s), s.serving,
                  s.reason.c_str(), s.holdover, s.function, s.lock, s.channel, s.level, s.snr,
                  s.ber, static_cast<long long>(s.taken_at_s), s.last_year, s.last_month,
                  s.last_day, s.last_hour, s.last_minute, s.last_second, s.shm ? "shm" : "step",
                  s.shm_unit, s.shm_count, s.ntp_running ? "running" : "stopped", s.stratum,
                  s.served_stratum, s.conflict.c_str());
    const UpdateResult& u = s.update;
    return text + network_lines(s.network) +
           format_command("Update=%s\t\t;最後の更新(none:なし,installed:実施,refused:拒否)\n"
                          "UpdateTime=%lld\t\t;その時刻(1970年からの秒,0:なし)\n"
                          "UpdateDetail=%s\t\t;拒否の理由、または署名した鍵の指紋\n",
                          u.at_s == 0 ? "none"
                          : u.refused ? "refused"
                                      : "installed",
                          static_cast<long long>(u.at_s), u.detail.c_str());
}

std::string metrics_text(const UnitState& s, int64_t now) {
    std::string out;
    print_gauge(out, "orv_up", kUpHelp, 1);
    print_gauge(out, "orv_tuner_locked", "Whether the tuner holds the broadcast (1) or not (0).",
                s.lock);
    print_gauge(out, "orv_signal_level", "Signal level reported by the tuner, 0 to 255.", s.level);
    print_gauge(out, "orv_snr_decibels", "Signal-to-noise ratio reported by the tuner in dB.",
                s.snr);
    print_gauge(out, "orv_bit_error_ratio", "Bit error rate of the broadcast.", s.ber * 1e-5);
    print_gauge(out, "orv_reception_poor",
                "Whether the SNR or the BER is past the threshold ORV_SNR_MIN_DB or ORV_BER_MAX "
                "(1) or not (0).",
                s.reception_poor);
    if (s.taken_at_s != 0) {
        print_gauge(out, "orv_last_take_age_seconds",
                    "Seconds since broadcast time was last taken.", double(now - s.taken_at_s));
        print_gauge(out, "orv_last_take_timestamp_seconds",
                    "Last take of broadcast time, seconds since the epoch.", double(s.taken_at_s));
    }
    print_serving_gauges(out, s.serving, s.holdover);
    if (s.served_stratum >= 0)
        print_gauge(out, "orv_ntp_served_stratum",
                    "Stratum that the NTP daemon's configuration serves to clients.",
                    s.served_stratum);
    print_daemon_answer(out, s.ntp_answer);
    print_gauge(out, "orv_start_time_seconds", kStartHelp, double(s.started_s));
    if (s.update.at_s != 0) {
        print_gauge(out, "orv_last_update_refused",
                    "Whether the last update asked for was refused (1) or installed (0).",
                    s.update.refused);
        print_gauge(out, "orv_last_update_timestamp_seconds",
                    "Last update asked for, seconds since the epoch.", double(s.update.at_s));
    }
    print_counters(out, s.counters);
    out += "# HELP orv_info The program's version, time delivery and NTP daemon.\n"
           "# TYPE orv_info gauge\n"
           "orv_info{version=\"" ORV_PROGRAM_VERSION "\",delivery=\"" +
           std::string(s.shm ? "shm" : "step") + "\",daemon=\"" + s.daemon + "\"} 1\n";
    return out;
}

std::string brief_metrics_text(bool up, int64_t started_s) {
    std::string out;
    print_gauge(out, "orv_up", kUpHelp, up);
    print_serving_gauges(out, 0, 0);
    print_gauge(out, "orv_start_time_seconds", kStartHelp, double(started_s));
    return out;
}

void unit_state_reset() {
    published.state = Output{};
    published.metrics = Output{};
}

void publish_unit_state() {
    const int64_t now = now_s();
    const UnitState state = gather();
    write_if_changed(kStateFilePath, state_file_text(state), published.state,
                     published_file_access());
    if (const std::string path = metrics_path(); !path.empty())
        write_if_changed(path, metrics_text(state, now), published.metrics, kMetricsAccess);
}

void publish_unit_restarting() {
    UnitState state = gather();
    state.serving = 0;
    state.reason = "restarting";
    write_if_changed(kStateFilePath, state_file_text(state), published.state,
                     published_file_access());
}

void publish_unit_ended() {
    publish_brief_metrics(false);
}
