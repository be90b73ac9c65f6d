// The TOT settings file (the [TOT] section: channel and stratum) and the TOT
// status file rewritten every tick with the [TOTStatus] block.
#include "tot/tot_files.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/file_access.h"
#include "os/unit_path.h"
#include "settings/file_store.h"
#include "settings/ini.h"
#include "settings/system_file.h"
#include "tot/ntp_server.h"
#include "tot/tot_state.h"

#include <cstring>
#include <string>
#include <unistd.h>

TotSettings tot_settings;
TotStatus tot_status;

namespace {

constexpr const char* kBanner = ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n";
constexpr const char* kSection = "[TOT]";

TotSettings factory_settings() {
    return TotSettings{1, 0, 27, uint8_t(variant_bit_set() ? 11 : 7)};
}

uint8_t decimal_byte(const char* value) {
    return uint8_t(IniParseNumber(value, 10));
}

// Every key of the file is a decimal number.
bool value_ok(const char*, const char* value) {
    return IniIsNumber(value, 10);
}

} // namespace

const SettingsShape kTotSettingsShape{kSection, value_ok};

int tot_read_settings(const char* path, TotSettings& s, FILE* opened) {
    s = factory_settings();
    if (!opened && unit_access(path, F_OK) != 0) {
        LogPrint(LOG_TO_BOTH, 6, "<<TOT file factory set>>\n");
        tot_write_settings(path, s);
        return 0;
    }
    return IniReadFile(
        path, kSection,
        [&s](const char* key, const char* value) {
            if (std::strcmp(key, "Status") == 0)
                s.Status = decimal_byte(value);
            else if (std::strcmp(key, "Set_TOT_CH_TYPE") == 0)
                s.Set_TOT_CH_TYPE = decimal_byte(value);
            else if (std::strcmp(key, "Set_TOT_CH_NUM") == 0)
                s.Set_TOT_CH_NUM = decimal_byte(value);
            else if (std::strcmp(key, "Set_TOT_STRATUM") == 0)
                s.Set_TOT_STRATUM = decimal_byte(value);
        },
        opened, value_ok);
}

int tot_write_settings(const char* path, const TotSettings& s) {
    if (PrintSettingsFile(path, [&s](FILE* fp) { tot_print_settings(fp, s); }) != 0) {
        LogPrint(LOG_TO_BOTH, 0, "TOT file error\n");
        return -1;
    }
    return 0;
}

void tot_print_settings(FILE* fp, const TotSettings& s) {
    std::fputs(kBanner, fp);
    std::fputs("; 内部機能 (TOT)                                 ;\n", fp);
    std::fputs("; 本機能はORV_System.iniのSystemInfoで機能設定する ;\n", fp);
    std::fputs(kBanner, fp);
    std::fputs("[TOT]\n", fp);
    std::fprintf(fp, "Status=%d\t\t\t\t;10進数(8b) 0=Disable, 1=Enable\n", s.Status);
    std::fprintf(fp, "Set_TOT_CH_TYPE=%d\t\t;設定されているチャンネルタイプ(UHF,VHF,CATV)\n",
                 s.Set_TOT_CH_TYPE);
    std::fprintf(fp, "Set_TOT_CH_NUM=%d\t\t;設定されているチャンネル番号\n", s.Set_TOT_CH_NUM);
    std::fprintf(fp, "Set_TOT_STRATUM=%d\t\t;設定されているstratum値\n", s.Set_TOT_STRATUM);
}

void tot_log_settings(const TotSettings& s) {
    LogPrint(LOG_TO_BOTH, 6, "[TOT]\n");
    LogPrint(LOG_TO_BOTH, 6, "SetChannel  : %d\n", s.Set_TOT_CH_NUM);
    if (!variant_bit_set()) LogPrint(LOG_TO_BOTH, 6, "SetStratum  : %d\n", s.Set_TOT_STRATUM);
}

namespace {

void print_status(FILE* fp, const TotStatus& st) {
    const TotDate& date = tot_state.last_date;
    const TotTime& time = tot_state.last_time;
    tot_print_settings(fp, st.settings);
    std::fputs("[TOTStatus]\n", fp);
    std::fprintf(fp, "Now_TunerLock=%d\t\t\t\t;チューナロック?(0:unlock  1:lock)\n", st.lock);
    std::fprintf(fp, "Now_TOTNTP=%d\t\t\t\t\t;NTPサーバ(0:停止,1:起動)\n", ntp_server.running);
    std::fprintf(fp, "Now_TOTCHNUM=UHF-%d\t\t\t;現在チューニングチャンネル番号\n",
                 st.settings.Set_TOT_CH_NUM);
    std::fprintf(fp, "Now_TOTLevel=%d\t\t\t\t;現在のレベル値(無次元最大値255)\n", int(st.level));
    std::fprintf(fp, "Now_TOTSNR=%d\t\t\t\t\t;現在のSN比[dB]\n", st.snr);
    std::fprintf(fp, "Now_TOTberA=%de-5\t\t\t\t;現在のBER\n", int(st.ber_a));
    std::fprintf(fp, "Now_TOTberB=%de-5\t\t\t\t;現在のBER\n", int(st.ber_b));
    std::fprintf(fp, "Now_TOTber=%d\t\t\t\t\t;現在のBER(表示値)\n", int(st.ber));
    std::fprintf(fp, "Now_TOTSTRATUM=%d\t\t\t\t;現在のNTPサーバのstratum\n",
                 st.settings.Set_TOT_STRATUM);
    std::fprintf(fp, "Now_TOTDATE=%d/%02d/%02d\t\t;現在の日付\n", date.year, date.month, date.day);
    std::fprintf(fp, "Now_TOTTIME=%02d:%02d:%02d\t;現在の時刻\n", time.hour, time.minute,
                 time.second);
}

} // namespace

// A failure is reported by the TOT step, once a tick.
int tot_write_status(const char* path, const TotStatus& st) {
    std::string text;
    if (!print_to_text(text, [&st](FILE* fp) { print_status(fp, st); })) return -1;
    return atomic_write_file(path, text, shared_file_access());
}
