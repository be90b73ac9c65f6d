// INI reading shared by every settings reader: line splitting, the reading loop
// with its section rule, and value conversion.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string_view>

struct DateTime {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};

constexpr int kIniLineLimit = 1024; // bytes of a line before its line feed
constexpr int kIniFieldSize = 128;  // key and value hold at most 127 characters

constexpr const char* kRamConfDir = "/var/kelvatro/conf/";
constexpr const char* kSdConfDir = "/usr/kelvatro/conf/";

// Splits a line (modified in place) into key and value buffers of kIniFieldSize
// bytes; blanks around the '=' are no part of either. Returns 1 when a key was
// found, else 0 with both buffers empty.
int IniSplitLine(char* line, char* key, char* value);
bool IniParseDate(const char* text, DateTime& dt);
bool IniParseTime(const char* text, DateTime& dt);
bool IniParseIpAddress(const char* text, uint8_t addr[4]);
// A number as strtoul converts it in the given base, truncated by the caller.
uint32_t IniParseNumber(const char* text, int base);
// Whether the text is a number of the base and nothing else ("0x" allowed in
// base 16, blanks after it).
bool IniIsNumber(const char* text, int base);
// Whether the text is a whole date or time, as the parsers take it.
bool IniIsDate(const char* text);
bool IniIsTime(const char* text);

using IniKeyHandler = std::function<void(const char* key, const char* value)>;
// Whether a value is one its key takes (a key the reader does not know: any).
using IniValueCheck = bool (*)(const char* key, const char* value);

// What a reading found: whether the section header was seen, and the number
// of the first line longer than kIniLineLimit (0: none).
struct IniReading {
    bool header = false;
    int long_line = 0;
};

// The reading loop over an open stream, a whole line at a time: hands every
// key that follows the section header (exactly, brackets included; a UTF-8 BOM
// before it and blanks after it are no part of it) with its value to on_key.
// A line longer than kIniLineLimit is skipped whole. A last line without its
// line end was cut short: its key is taken only when `valid` takes its value
// (without `valid`, when the value is not empty).
IniReading IniReadStream(FILE* file, const char* section, const IniKeyHandler& on_key,
                         IniValueCheck valid = nullptr);
// The reading loop over a text in memory.
IniReading IniReadText(std::string_view text, const char* section, const IniKeyHandler& on_key,
                       IniValueCheck valid = nullptr);
// The reading loop over the file at a unit path, or over the stream `opened`
// that the caller has opened at that path. Returns -1 when the file cannot be
// opened, else 0.
int IniReadFile(const char* path, const char* section, const IniKeyHandler& on_key,
                FILE* opened = nullptr, IniValueCheck valid = nullptr);
