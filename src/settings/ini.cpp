// INI reading shared by every settings reader: splitting a line into key and
// value, the reading loop with its section rule, and the conversion of
// numbers, dates, times and addresses.
#include "settings/ini.h"

#include "os/unit_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kLineDelimiters = "=\t\r\n";

bool is_comment(const char* token) {
    return token[0] == ';' || token[0] == '#';
}

void copy_field(char* field, const char* token) {
    std::strncpy(field, token, kIniFieldSize - 1);
    field[kIniFieldSize - 1] = '\0';
}

// Converts up to `count` tokens of `text`, split at `separators`, in base 10
// and hands each to `store` as soon as it is converted. Returns false when the
// text ran out before `count` tokens.
template <typename Store>
bool parse_fields(const char* text, const char* separators, int count, Store store) {
    std::string copy(text);
    char* rest = nullptr;
    char* token = strtok_r(copy.data(), separators, &rest);
    for (int i = 0; i < count; ++i) {
        if (!token) return false;
        store(i, IniParseNumber(token, 10));
        token = strtok_r(nullptr, separators, &rest);
    }
    return true;
}

} // namespace

int IniSplitLine(char* line, char* key, char* value) {
    key[0] = '\0';
    value[0] = '\0';
    char* rest = nullptr;
    const char* token = strtok_r(line, kLineDelimiters, &rest);
    if (!token || is_comment(token)) return 0;
    copy_field(key, token);
    token = strtok_r(nullptr, kLineDelimiters, &rest);
    if (token && !is_comment(token)) copy_field(value, token);
    return 1;
}

uint32_t IniParseNumber(const char* text, int base) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, base));
}

bool IniParseDate(const char* text, DateTime& dt) {
    return parse_fields(text, "/-, \t\r\n", 3, [&dt](int i, uint32_t n) {
        if (i == 0)
            dt.year = static_cast<uint16_t>(n);
        else if (i == 1)
            dt.month = static_cast<uint8_t>(n);
        else
            dt.day = static_cast<uint8_t>(n);
    });
}

bool IniParseTime(const char* text, DateTime& dt) {
    return parse_fields(text, ":-, \t\r\n", 3, [&dt](int i, uint32_t n) {
        if (i == 0)
            dt.hour = static_cast<uint8_t>(n);
        else if (i == 1)
            dt.minute = static_cast<uint8_t>(n);
        else
            dt.second = static_cast<uint8_t>(n);
    });
}

bool IniParseIpAddress(const char* text, uint8_t addr[4]) {
    return parse_fields(text, ".:, \t\r\n", 4,
                        [addr](int i, uint32_t n) { addr[i] = static_cast<uint8_t>(n); });
}

bool IniReadStream(FILE* file, const char* section, const IniKeyHandler& on_key) {
    char line[kIniLineSize];
    char key[kIniFieldSize];
    char value[kIniFieldSize];
    bool in_section = false;
    while (std::fgets(line, sizeof line, file)) {
        if (!IniSplitLine(line, key, value)) continue;
        if (in_section) on_key(key, value);
        if (std::strcmp(key, section) == 0) in_section = true;
    }
    return in_section;
}

int IniReadFile(const char* path, const char* section, const IniKeyHandler& on_key, FILE* opened) {
    FILE* file = opened ? opened : unit_fopen(path, "r");
    if (!file) return -1;
    IniReadStream(file, section, on_key);
    if (!opened) std::fclose(file);
    return 0;
}
