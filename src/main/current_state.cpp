// The current-state record and its file ORV_Current.ini, rewritten every tick,
// and the function file ORV_Function.ini, written once a pass.
#include "main/current_state.h"

#include "log/status_log.h"
#include "os/file_access.h"
#include "settings/file_store.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

CurrentState current_state;

namespace {

void write_status_words(FILE* fp, unsigned first_key, const uint32_t words[16]) {
    for (unsigned i = 0; i < 16; ++i)
        std::fprintf(fp, "%02X=%04X\n", first_key + i, words[i]);
}

// "<dir>Setup_05_01.ini" and its kin, in a 128-byte buffer cleared before use.
std::array<char, 128> board_file_path(const char* format, int board, int sub) {
    std::array<char, 128> path{};
    std::snprintf(path.data(), path.size(), format, board, sub);
    return path;
}

constexpr const char* kBanner54 = ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n";
constexpr const char* kBanner63 =
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n";
constexpr const char* kMadeByMain = "; ORVメインプログラムがRAMディスクに作成するファイル ;\n";

void print_current_file(FILE* fp, const CurrentState& cs) {
    std::fputs(kBanner54, fp);
    std::fputs("; カレントス情報 (基本的に1秒毎に更新される)         ;\n", fp);
    std::fputs(kMadeByMain, fp);
    std::fputs(kBanner54, fp);
    std::fputs("[ORVCurrent]\n", fp);
    const DateTime& set = cs.SetDateTime;
    const DateTime& now = cs.NowDateTime;
    const uint8_t* mac = cs.Mac;
    const uint8_t* mac1 = cs.Mac1;
    std::fprintf(fp, "SetDate=%04d/%02d/%02d\t; 設定年月日\n", set.year, set.month, set.day);
    std::fprintf(fp, "SetTime=%02d:%02d:%02d\t; 設定時分秒\n", set.hour, set.minute, set.second);
    std::fprintf(fp, "NowDate=%04d/%02d/%02d\t; 現在年月日\n", now.year, now.month, now.day);
    std::fprintf(fp, "NowTime=%02d:%02d:%02d\t; 現在時分秒\n", now.hour, now.minute, now.second);
    std::fprintf(fp, "MAC=%02X:%02X:%02X:%02X:%02X:%02X\t; 16進数 (設定変更不能扱い)\n", mac[0],
                 mac[1], mac[2], mac[3], mac[4], mac[5]);
    std::fprintf(fp, "MAC1=%02X:%02X:%02X:%02X:%02X:%02X\t; 16進数 (設定変更不能扱い)\n", mac1[0],
                 mac1[1], mac1[2], mac1[3], mac1[4], mac1[5]);
    std::fputs("[ErrorStatus1]\t; 内部機能用エラーステータス\n", fp);
    write_status_words(fp, 0x80, cs.ErrorStatus1);
    std::fputs("[ErrorStatus2]\t; 拡張機能用エラーステータス\n", fp);
    write_status_words(fp, 0x00, cs.ErrorStatus2);
}

// The failed writes of the current-state file, logged once a run.
LogRepeat current_file_failing;

} // namespace

int write_current_file(const char* path, const CurrentState& cs) {
    std::string text;
    const bool written = print_to_text(text, [&cs](FILE* fp) { print_current_file(fp, cs); }) &&
                         atomic_write_file(path, text, shared_file_access()) == 0;
    if (written) {
        LogRepeatEnd(current_file_failing);
        return 0;
    }
    LogRepeated(current_file_failing, 3, "Cannot write %s: %s\n", path, std::strerror(errno));
    return -1;
}

void print_current_state(const CurrentState& cs) {
    const DateTime& set = cs.SetDateTime;
    const DateTime& now = cs.NowDateTime;
    const uint8_t* mac = cs.Mac;
    const uint8_t* mac1 = cs.Mac1;
    LogPrint(LOG_TO_BOTH, 6, "Set Date   : %4d/%02d/%02d %02d:%02d:%02d\n", set.year, set.month,
             set.day, set.hour, set.minute, set.second);
    LogPrint(LOG_TO_BOTH, 6, "Now Date   : %4d/%02d/%02d %02d:%02d:%02d\n", now.year, now.month,
             now.day, now.hour, now.minute, now.second);
    LogPrint(LOG_TO_BOTH, 6, "M/B  MAC   : %02X.%02X.%02X.%02X.%02X.%02X\n", mac[0], mac[1], mac[2],
             mac[3], mac[4], mac[5]);
    LogPrint(LOG_TO_BOTH, 6, "VOIP MAC   : %02X.%02X.%02X.%02X.%02X.%02X\n", mac1[0], mac1[1],
             mac1[2], mac1[3], mac1[4], mac1[5]);
}

int write_function_file(TextStream& stream) {
    std::string text;
    if (!text_stream_close(stream, text)) {
        LogPrint(LOG_TO_BOTH, 3, "Cannot write %s: %s\n", kFunctionFilePath, std::strerror(errno));
        return -1;
    }
    return WriteSharedFile(kFunctionFilePath, text);
}

int write_function_header(FILE* fp, int internal_functions, int expansion_boards) {
    if (!fp) return -1;
    std::fputs(kBanner54, fp);
    std::fputs("; ORV機能情報                                        ;\n", fp);
    std::fputs(kMadeByMain, fp);
    std::fputs(kBanner54, fp);
    std::fputs("[ORVFunction]\n", fp);
    std::fprintf(fp, "IntSlotNum=%d\t; 内部機能数\n", internal_functions);
    std::fprintf(fp, "ExpSlotNum=%d\t; 拡張基板数\n", expansion_boards);
    std::fputs("\n", fp);
    return 0;
}

int write_function_slot(FILE* fp, int slot, int board, int sub, int function_code, uint32_t version,
                        const char* name) {
    if (!fp) return -1;
    const auto setup = board_file_path("/var/kelvatro/conf/Setup_%02X_%02X.ini", board, sub);
    const auto save = board_file_path("/usr/kelvatro/conf/Setup_%02X_%02X.ini", board, sub);
    const auto status = board_file_path("/var/kelvatro/conf/Status_%02X_%02X.txt", board, sub);
    std::fputs(kBanner63, fp);
    std::fputs("; 内部機能 ※本機能はORV_System.iniのSystemInfoで機能設定する ;\n", fp);
    std::fputs(kBanner63, fp);
    std::fprintf(fp, "[IntSlot%d]\n", slot);
    std::fprintf(fp, "BoadID=%02X\t; 16進数(char) 基板番号\n", board);
    std::fprintf(fp, "SubID=%02X\t; 16進数(char) 基板サブ番号\n", sub);
    std::fprintf(fp, "Func=%02X\t; 16進数(char) 機能指定\n", function_code);
    std::fprintf(fp, "Version=%08X\t; 16進数(32b) バージョン\n", version);
    std::fprintf(fp, "Name=%s\t; 基板名称 半角31文字まで\n", name);
    std::fprintf(fp, "Setup=%s\t; セットアップファイル\n", setup.data());
    std::fprintf(fp, "Save=%s\t; セットアップ保存ファイル\n", save.data());
    std::fprintf(fp, "Status=%s\t; ステータスファイル\n", status.data());
    std::fputs("\n", fp);
    return 0;
}
