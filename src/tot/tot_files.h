// The TOT settings file (Setup_05_01.ini) and the TOT status file
// (Status_05_01.txt) with their records.
#pragma once

#include "settings/file_store.h"

#include <cstdint>
#include <cstdio>

struct TotSettings {
    uint8_t Status;
    uint8_t Set_TOT_CH_TYPE;
    uint8_t Set_TOT_CH_NUM;
    uint8_t Set_TOT_STRATUM;
};

struct TotStatus {
    TotSettings settings;
    uint32_t level;
    int32_t snr;
    uint32_t ber_a;
    uint32_t ber_b;
    uint32_t ber;
    uint8_t lock;
};

constexpr int kTotBoard = 5;
constexpr int kTotSub = 1;
// The TOT settings file of that board and sub.
constexpr const char* kTotSettingsPath = "/var/kelvatro/conf/Setup_05_01.ini";

extern TotSettings tot_settings;
extern TotStatus tot_status;

// What makes a TOT settings file readable as the unit's.
extern const SettingsShape kTotSettingsShape;

// Reads the file at the path, or the stream `opened` that the caller has
// opened at that path.
int tot_read_settings(const char* path, TotSettings& s, FILE* opened = nullptr);
int tot_write_settings(const char* path, const TotSettings& s);
void tot_print_settings(FILE* fp, const TotSettings& s);
void tot_log_settings(const TotSettings& s);
int tot_write_status(const char* path, const TotStatus& st);
