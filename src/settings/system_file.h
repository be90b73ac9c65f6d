// The system settings file ORV_System.ini and its record, and the date
// operations on the local clock.
#pragma once

#include "settings/file_store.h"
#include "settings/ini.h"
#include <cstdint>
#include <cstdio>
#include <ctime>

struct SystemSettings {
    uint32_t Version;
    uint32_t SystemInfo;
    uint32_t OptionInfo;
    uint32_t CustumInfo;
    uint8_t Language;
    uint8_t TimeAdjust;
    uint8_t WebControl;
    uint8_t HeaderTime;
    uint32_t TimeAdjustInt;
    DateTime Make;
    DateTime Modify;
    uint32_t UnitID;
    char UnitName[32];
    uint8_t AutoReset;
    DateTime AutoResetTime;
};

constexpr uint32_t kSystemFileVersion = 0x01000004;
constexpr uint32_t kTotFunctionBit = 0x04000000; // SystemInfo bit 26
constexpr uint32_t kVariantBit = 0x00000004;     // CustumInfo bit 2
constexpr const char* kSystemFilePath = "/var/kelvatro/conf/ORV_System.ini";

extern SystemSettings system_settings;

inline bool tot_function_enabled() {
    return (system_settings.SystemInfo & kTotFunctionBit) != 0;
}
inline bool variant_bit_set() {
    return (system_settings.CustumInfo & kVariantBit) != 0;
}

// What makes a system settings file readable as the unit's.
extern const SettingsShape kSystemFileShape;

// Reads the file at the path, or the stream `opened` that the caller has
// opened at that path.
int ReadSystemFile(const char* path, SystemSettings& s, FILE* opened = nullptr);
int WriteSystemFile(const char* path, const SystemSettings& s);
void PrintSystemSettings(const SystemSettings& s);
void GetLocalDateTime(DateTime& dt);
// A calendar time as local date and time.
void LocalDateTimeOf(time_t t, DateTime& dt);
// Sets the system and hardware clocks; returns the status of hwclock. A date
// before the program's build is refused: nothing set, kDateBeforeBuild.
constexpr int kDateBeforeBuild = -2;
int SetSystemDate(const DateTime& dt);
// Sets the clocks as SetSystemDate does, to the microsecond (the date command
// with the fraction, its start-up made up for). A time before the build:
// nothing set, -1.
int SetSystemTime(time_t seconds, long microseconds);
