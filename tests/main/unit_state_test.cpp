// The published state file and the metrics file, as orvctl, the web front end
// and node_exporter read them.
#include "main/unit_state.h"
#include "os/deploy_settings.h"
#include "sandbox.h"
#include "settings/system_file.h"
#include "tot/holdover.h"
#include "tot/ntp_server.h"
#include "tot/tot_state.h"

namespace {

const char* const kStateText =
    "[State]\n"
    "Version=1.0.0\t\t;プログラムのバージョン\n"
    "Pid=4321\t\t;プロセスID\n"
    "Started=1796677433\t\t;起動時刻(1970年からの秒)\n"
    "Serving=1\t\t;放送時刻でNTPサーバ運用中(0:否,1:中)\n"
    "Reason=serving\t\t;運用状態の理由\n"
    "Holdover=0\t\t;ホールドオーバー(0:否,1:中)\n"
    "Function=1\t\t;TOT機能(0:無,1:有)\n"
    "Lock=1\nChannel=27\nLevel=180\nSNR=28\n"
    "BER=3\t\t;BER(表示値,1e-5単位)\n"
    "LastTake=1796677500\t\t;最後に放送時刻を取得した時刻(1970年からの秒,0:未取得)\n"
    "LastTOT=2026/12/08 06:04:05\t;最後に取得した放送時刻\n"
    "Delivery=shm\t\t;時刻の反映(step:時刻設定,shm:NTP共有メモリ)\n"
    "ShmUnit=123456\nShmCount=42\n"
    "NtpDaemon=running\t\t;NTPサーバ(running:起動,stopped:停止)\n"
    "Stratum=7\t\t;設定されているstratum値\n"
    "ServedStratum=8\t\t;NTPサーバが配信するstratum値(-1:不明)\n"
    "Conflict=TimeAdjust 1\t\t;時刻源の設定の競合(空:なし)\n"
    "IP=10.1.1.1\t\t;適用中のIPアドレス\nNetMask=255.255.255.0\nGateway=10.1.1.254\n"
    "DnsP=10.1.1.53\nDnsS=0.0.0.0\n";

} // namespace

TEST(UnitState, StateAndMetricsTexts) {
    UnitState s{1796677433,
                4321,
                1,
                "serving",
                0,
                1,
                1,
                27,
                180,
                28,
                3,
                1796677500,
                2026,
                12,
                8,
                6,
                4,
                5,
                1,
                123456,
                42,
                1,
                7,
                8,
                1,
                {5, 1, 2, {0, 0, 1, 0, 0, 0, 3, 0}},
                "chrony",
                "TimeAdjust 1",
                {true, {"127.0.0.1:123", true, "", 0, 3, "GPS", 10, 500, 0.1}}};
    s.network = {
        {10, 1, 1, 1}, {255, 255, 255, 0}, {10, 1, 1, 254}, {}, {}, {}, {10, 1, 1, 53}, {}};
    EXPECT_EQ(state_file_text(s), kStateText);
    s.network.reset(); // nothing applied yet
    EXPECT_TRUE(contains(state_file_text(s), "\nIP=\t\t;適用中のIPアドレス\nNetMask=\nGateway=\n"));
    const std::string metrics = metrics_text(s, 1796677510);
    EXPECT_TRUE(contains(metrics, "# HELP orv_bit_error_ratio Bit error rate of the broadcast.\n"
                                  "# TYPE orv_bit_error_ratio gauge\norv_bit_error_ratio 3e-05\n"));
    EXPECT_TRUE(contains(metrics, "# TYPE orv_takes_total counter\norv_takes_total 5\n"));
    EXPECT_EQ(count(metrics, "\n# TYPE "), 20);
    std::istringstream in(metrics); // the sample lines, HELP and TYPE lines left out
    std::string samples;
    for (std::string line; std::getline(in, line);)
        if (!line.starts_with('#')) samples += line + "\n";
    EXPECT_EQ(samples, "orv_up 1\norv_tuner_locked 1\norv_signal_level 180\n"
                       "orv_snr_decibels 28\norv_bit_error_ratio 3e-05\norv_reception_poor 1\n"
                       "orv_last_take_age_seconds 10\n"
                       "orv_last_take_timestamp_seconds 1796677500\norv_serving 1\n"
                       "orv_holdover 0\norv_ntp_served_stratum 8\norv_ntp_synchronised 1\n"
                       "orv_ntp_stratum 3\norv_ntp_root_distance_seconds 0.505\n"
                       "orv_start_time_seconds 1796677433\norv_takes_total 5\n"
                       "orv_take_failures_total{reason=\"fpga_not_answering\"} 0\n"
                       "orv_take_failures_total{reason=\"fpga_reading_all_ones\"} 0\n"
                       "orv_take_failures_total{reason=\"no_time_latched\"} 1\n"
                       "orv_take_failures_total{reason=\"time_word_frozen\"} 0\n"
                       "orv_take_failures_total{reason=\"invalid_time_word\"} 0\n"
                       "orv_take_failures_total{reason=\"implausible_date\"} 0\n"
                       "orv_take_failures_total{reason=\"latch_too_old\"} 3\n"
                       "orv_take_failures_total{reason=\"other\"} 0\n"
                       "orv_holdovers_total 1\norv_daemon_starts_total 2\n"
                       "orv_info{version=\"1.0.0\",delivery=\"shm\",daemon=\"chrony\"} 1\n");
    // Before the first take no age; without a stratum in the configuration none;
    // before the daemon's first answer nothing of it, and without an answer
    // only that it is not synchronised.
    s.taken_at_s = 0;
    s.served_stratum = -1;
    s.ntp_answer = {};
    const std::string before = metrics_text(s, 1796677510);
    EXPECT_FALSE(contains(before, "orv_last_take_"));
    EXPECT_FALSE(contains(before, "orv_ntp_"));
    s.ntp_answer.known = true;
    EXPECT_EQ(count(metrics_text(s, 1796677510), "\norv_ntp_"), 1);
    EXPECT_TRUE(contains(metrics_text(s, 1796677510), "\norv_ntp_synchronised 0\n"));
}

// A new start says at once that the unit runs, before its first tick (a
// restart must not leave orv_up 0 for the seconds of the start), and its end
// that it has ended.
TEST(UnitState, MetricsSayAStartAtOnceAndTheEnd) {
    Sandbox sandbox;
    sandbox.write(kDeploySettingsPath, "ORV_METRICS_DIR=/metrics\n");
    fs::create_directory(sandbox.path("/metrics"));
    deploy_settings_reload();
    unit_state_reset();
    for (const auto& [publish, up] :
         {std::pair{&unit_state_started, "1"}, {&publish_unit_ended, "0"}}) {
        publish();
        EXPECT_TRUE(sandbox.read("/metrics/orv_main.prom")
                        .starts_with(std::string("# HELP orv_up Whether orv-main runs (1) or has "
                                                 "ended (0).\n# TYPE orv_up gauge\norv_up ") +
                                     up + "\n"));
    }
    sandbox.remove(kDeploySettingsPath);
    deploy_settings_reload();
}

// Why the unit does not serve, as orvctl shows it: the operator's stop rather
// than the reason of an earlier missed take, and in shm delivery the missing
// segment of the unit's own (none claimed in this process).
TEST(UnitState, ReasonNamesTheOperatorsStopAndAMissingSegment) {
    Sandbox sandbox;
    const uint32_t system_info = system_settings.SystemInfo;
    system_settings.SystemInfo = kTotFunctionBit;
    holdover = HoldoverState{};
    tot_state.miss_reason = "no lock";
    tot_state.taken_at_s = 1;
    const std::pair<const char*, const char*> cases[] = {
        {"", "NTP daemon stopped: reset"},
        {"ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=7\n", "no shared memory segment of the unit's own"}};
    for (const auto& [deployed, reason] : cases) {
        sandbox.write(kDeploySettingsPath, deployed);
        deploy_settings_reload();
        ntp_server = NtpServerState{0, 6, 1, 0, "reset"};
        unit_state_reset();
        publish_unit_state();
        EXPECT_TRUE(
            contains(sandbox.read(kStateFilePath), std::string("\nReason=") + reason + "\t"))
            << reason;
    }
    system_settings.SystemInfo = system_info;
    tot_state = TotState{};
    ntp_server = NtpServerState{0, 16, 0};
    sandbox.remove(kDeploySettingsPath);
    deploy_settings_reload();
}
