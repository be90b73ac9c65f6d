// Setup change: a settings file named by a "[SetupChange]" message is
// classified and taken over.
#pragma once

#include "settings/ini.h"
#include <cstdint>
#include <cstdio>

enum SettingsFileKind {
    kFileNone = 0,
    kFileSystem = 1,
    kFileNetwork = 2,
    kFileCurrent = 4,
    kFileFunction = 8,
    kFileSetup = 16,
    kFileFilter = 32,
};

int HandleSetupChange(char* message);
// Forgets the files last applied, so that the next setup change of each kind
// applies its file whatever it holds, and the causes of refusals met so far
// (a new sandbox in the tests).
void setup_change_forget();
SettingsFileKind ClassifySettingsFile(const char* path, char board_text[16], uint8_t& board_id,
                                      uint8_t& sub_id);
// Both read the file at the path, or the stream `opened` that the caller has
// opened at that path.
int ReadCurrentSetDate(const char* path, DateTime& dt, FILE* opened = nullptr);
int orv_parser_setup(const char* path, const char* board_text, uint8_t board_id, uint8_t sub_id,
                     FILE* opened = nullptr);
