// The current-state file ORV_Current.ini with its record, and the function
// file ORV_Function.ini.
#pragma once

#include "os/atomic_file.h"
#include "settings/ini.h"
#include <cstdint>
#include <cstdio>

struct CurrentState {
    DateTime SetDateTime;
    DateTime NowDateTime;
    uint8_t Mac[6];
    uint8_t Mac1[6];
    uint32_t ErrorStatus1[16];
    uint32_t ErrorStatus2[16];
};

constexpr const char* kCurrentFilePath = "/var/kelvatro/conf/ORV_Current.ini";
constexpr const char* kFunctionFilePath = "/var/kelvatro/conf/ORV_Function.ini";

extern CurrentState current_state;

int write_current_file(const char* path, const CurrentState& cs);
void print_current_state(const CurrentState& cs);
// Closes the stream of the function file's text and writes the file whole.
int write_function_file(TextStream& stream);
int write_function_header(FILE* fp, int internal_functions, int expansion_boards);
int write_function_slot(FILE* fp, int slot, int board, int sub, int function_code, uint32_t version,
                        const char* name);
