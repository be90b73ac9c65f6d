// The system settings file ORV_System.ini: its one record, reading with the
// factory values and the version reset, writing, the printout, and the
// date operations on the local clock.
#include "settings/system_file.h"

#include "log/status_log.h"
#include "os/atomic_file.h"
#include "os/clock.h"
#include "os/shell.h"
#include "os/unit_path.h"
#include "settings/file_store.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unistd.h>
#include <variant>

SystemSettings system_settings;

namespace {

constexpr const char* kSection = "[ORVSystem]";

void set_factory_values(SystemSettings& s) {
    s = SystemSettings{};
    s.Version = kSystemFileVersion;
    std::strcpy(s.UnitName, "VID UVIVEV");
    s.TimeAdjustInt = 3600;
    s.HeaderTime = 1;
    s.WebControl = 1;
    s.Language = 0;
    s.TimeAdjust = 0;
    GetLocalDateTime(s.Make);
    GetLocalDateTime(s.Modify);
    s.AutoReset = 0;
    s.AutoResetTime.hour = 3;
}

// The file's keys: how each value is written and the field that takes it,
// for reading and for checking a file alike.
enum class ValueKind { hex, dec, text, date, time };
using Field = std::variant<uint32_t SystemSettings::*, uint8_t SystemSettings::*,
                           char (SystemSettings::*)[32], DateTime SystemSettings::*>;
struct SystemKey {
    std::string_view key;
    ValueKind kind;
    Field field;
};

using S = SystemSettings;
constexpr SystemKey kSystemKeys[] = {
    {"Version", ValueKind::hex, &S::Version},
    {"SystemInfo", ValueKind::hex, &S::SystemInfo},
    {"OptionInfo", ValueKind::hex, &S::OptionInfo},
    {"CustumInfo", ValueKind::hex, &S::CustumInfo},
    {"UnitID", ValueKind::hex, &S::UnitID},
    {"Language", ValueKind::dec, &S::Language},
    {"TimeAdjust", ValueKind::dec, &S::TimeAdjust},
    {"WebControl", ValueKind::dec, &S::WebControl},
    {"HeaderTime", ValueKind::dec, &S::HeaderTime},
    {"TimeAdjustInt", ValueKind::dec, &S::TimeAdjustInt},
    {"AutoReset", ValueKind::dec, &S::AutoReset},
    {"UnitName", ValueKind::text, &S::UnitName},
    {"MakeDate", ValueKind::date, &S::Make},
    {"MakeTime", ValueKind::time, &S::Make},
    {"ModifyDate", ValueKind::date, &S::Modify},
    {"ModifyTime", ValueKind::time, &S::Modify},
    {"AutoResetTime", ValueKind::time, &S::AutoResetTime},
};

const SystemKey* system_key(const char* key) {
    for (const SystemKey& entry : kSystemKeys)
        if (entry.key == key) return &entry;
    return nullptr;
}

void take_key(SystemSettings& s, const char* key, const char* value) {
    const SystemKey* entry = system_key(key);
    if (!entry) return;
    const int base = entry->kind == ValueKind::hex ? 16 : 10;
    if (const auto number = std::get_if<uint32_t S::*>(&entry->field))
        s.*(*number) = IniParseNumber(value, base);
    else if (const auto small = std::get_if<uint8_t S::*>(&entry->field))
        s.*(*small) = static_cast<uint8_t>(IniParseNumber(value, base));
    else if (const auto text = std::get_if<char(S::*)[32]>(&entry->field))
        std::strncpy(s.*(*text), value, sizeof(s.*(*text)) - 1);
    else if (entry->kind == ValueKind::date)
        IniParseDate(value, s.*std::get<DateTime S::*>(entry->field));
    else
        IniParseTime(value, s.*std::get<DateTime S::*>(entry->field));
}

bool value_ok(const char* key, const char* value) {
    const SystemKey* entry = system_key(key);
    switch (entry ? entry->kind : ValueKind::text) {
    case ValueKind::hex:
        return IniIsNumber(value, 16);
    case ValueKind::dec:
        return IniIsNumber(value, 10);
    case ValueKind::date:
        return IniIsDate(value);
    case ValueKind::time:
        return IniIsTime(value);
    case ValueKind::text:
        break;
    }
    return value[0] != '\0';
}

} // namespace

const SettingsShape kSystemFileShape{kSection, value_ok};

int ReadSystemFile(const char* path, SystemSettings& s, FILE* opened) {
    set_factory_values(s);
    if (!opened && unit_access(path, F_OK) != 0) {
        LogPrint(LOG_TO_BOTH, 6, "<<System file factory set>>\n");
        WriteSystemFile(path, s);
    } else if (IniReadFile(
                   path, kSection,
                   [&s](const char* key, const char* value) { take_key(s, key, value); }, opened,
                   value_ok) != 0) {
        LogPrint(LOG_TO_BOTH, 0, "System file not found\n");
        return -1;
    }

    if (s.Version == kSystemFileVersion) return 0;
    s.Version = kSystemFileVersion;
    GetLocalDateTime(s.Modify);
    LogPrint(LOG_TO_BOTH, 6, "<<Resetting Version>>\n");
    WriteSystemFile(path, s);
    return 0;
}

namespace {

void print_system_file(FILE* f, const SystemSettings& s) {
    std::fprintf(f, ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n");
    std::fprintf(f, "; ORVシステム基本情報          ;\n");
    std::fprintf(f, "; SDカード上に保存されるデータ ;\n");
    std::fprintf(f, ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n");
    std::fprintf(f, "%s\n", kSection);
    std::fprintf(f, "Version=%08X\t; 16進数(32b) システムバージョン\n", s.Version);
    std::fprintf(f, "UnitID=%08X\t; 16進数(32b) ユニットID\n", s.UnitID);
    std::fprintf(f, "UnitName=%s\t; ユニット名称 半角31文字まで\n", s.UnitName);
    std::fprintf(f, "SystemInfo=%08X\t; 16進数(32b) \n", s.SystemInfo);
    std::fprintf(f, "OptionInfo=%08X\t; 16進数(32b) \n", s.OptionInfo);
    std::fprintf(f, "CustumInfo=%08X\t; 16進数(32b) \n", s.CustumInfo);
    std::fprintf(f, "Language=%d\t; 10進数(8b) (0=日本語, 1=英語)\n", s.Language);
    std::fprintf(f, "HeaderTime=%d\t; 10進数(8b) (0=非表示, 1=表示)\n", s.HeaderTime);
    std::fprintf(f, "TimeAdjust=%d\t; 10進数(8b) (0=手動, 1=NTP, 2=チューナ, 3=GPS)\n",
                 s.TimeAdjust);
    std::fprintf(f, "TimeAdjustInt=%d\t; 10進数(32b) 1=1秒\n", static_cast<int>(s.TimeAdjustInt));
    std::fprintf(f, "WebControl=%d\t; 10進数(8b) (0=禁止, 1=許可)\n", s.WebControl);
    std::fprintf(f, "MakeDate=%04d/%02d/%02d\t; 新規作成年月日\n", s.Make.year, s.Make.month,
                 s.Make.day);
    std::fprintf(f, "MakeTime=%02d:%02d:%02d\t; 新規作成時分秒\n", s.Make.hour, s.Make.minute,
                 s.Make.second);
    std::fprintf(f, "ModifyDate=%04d/%02d/%02d\t; 更新年月日\n", s.Modify.year, s.Modify.month,
                 s.Modify.day);
    std::fprintf(f, "ModifyTime=%02d:%02d:%02d\t; 更新時分秒\n", s.Modify.hour, s.Modify.minute,
                 s.Modify.second);
    std::fprintf(f, "AutoReset=%d\t; 10進数(8b) (0=無効, 1=リセット, 2=リブート)\n", s.AutoReset);
    std::fprintf(f, "AutoResetTime=%02d:%02d:%02d\t; リセット時分秒\n", s.AutoResetTime.hour,
                 s.AutoResetTime.minute, s.AutoResetTime.second);
}

} // namespace

int WriteSystemFile(const char* path, const SystemSettings& s) {
    if (PrintSettingsFile(path, [&s](FILE* f) { print_system_file(f, s); }) != 0) {
        LogPrint(LOG_TO_BOTH, 0, "System file error\n");
        return -1;
    }
    return 0;
}

void PrintSystemSettings(const SystemSettings& s) {
    LogPrint(LOG_TO_BOTH, 6, "Version     : %08X\n", s.Version);
    LogPrint(LOG_TO_BOTH, 6, "Unit Name   : %s\n", LogEscaped(s.UnitName).c_str());
    LogPrint(LOG_TO_BOTH, 6, "System Info : %08X\n", s.SystemInfo);
    LogPrint(LOG_TO_BOTH, 6, "Option Info : %08X\n", s.OptionInfo);
    LogPrint(LOG_TO_BOTH, 6, "Custum Info : %08X\n", s.CustumInfo);
    LogPrint(LOG_TO_BOTH, 6, "HeaderTime  : %d\n", s.HeaderTime);
}

void GetLocalDateTime(DateTime& dt) {
    LocalDateTimeOf(std::time(nullptr), dt);
}

void LocalDateTimeOf(time_t t, DateTime& dt) {
    dt = DateTime{};
    tm local{};
    localtime_r(&t, &local);
    dt.year = static_cast<uint16_t>(local.tm_year + 1900);
    dt.month = static_cast<uint8_t>(local.tm_mon + 1);
    dt.day = static_cast<uint8_t>(local.tm_mday);
    dt.hour = static_cast<uint8_t>(local.tm_hour);
    dt.minute = static_cast<uint8_t>(local.tm_min);
    dt.second = static_cast<uint8_t>(local.tm_sec);
}

// A date before the program's build is no date to set: refused whole.
int SetSystemDate(const DateTime& dt) {
    const time_t seconds =
        local_calendar_time(dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second);
    if (seconds != time_t(-1) && seconds < clock_floor()) return kDateBeforeBuild;
    const int64_t at_us = monotonic_us();
    char command[64];
    std::snprintf(command, sizeof command, "date -s \"%04d-%02d-%02d %02d:%02d:%02d\"", dt.year,
                  dt.month, dt.day, dt.hour, dt.minute, dt.second);
    if (seconds == time_t(-1)) {
        run_command(command);
    } else {
        const int64_t time_us = int64_t(seconds) * 1000000;
        run_clock_command(command, time_us, time_us, at_us);
    }
    return run_command("hwclock -wu");
}

int SetSystemTime(time_t seconds, long microseconds) {
    if (seconds < clock_floor()) return -1;
    const int64_t at_us = monotonic_us();
    DateTime dt{};
    LocalDateTimeOf(seconds, dt);
    char command[64];
    std::snprintf(command, sizeof command, "date -s \"%04d-%02d-%02d %02d:%02d:%02d.%06ld\"",
                  dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second, microseconds);
    const int64_t time_us = int64_t(seconds) * 1000000 + microseconds;
    run_clock_command(command, time_us, time_us, at_us);
    return run_command("hwclock -wu");
}
