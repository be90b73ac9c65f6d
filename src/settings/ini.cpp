// INI reading shared by every settings reader: splitting a line into key and
// value, the reading loop with its section rule, and the conversion of
// numbers, dates, times and addresses.
#include "settings/ini.h"

#include "os/unit_path.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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

// Whether the text is `count` tokens, split at `separators`, each a decimal
// number.
bool all_numbers(const char* text, const char* separators, int count) {
    std::string copy(text);
    char* rest = nullptr;
    int tokens = 0;
    for (char* token = strtok_r(copy.data(), separators, &rest); token;
         token = strtok_r(nullptr, separators, &rest), ++tokens)
        if (!IniIsNumber(token, 10)) return false;
    return tokens == count;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

} // namespace

int IniSplitLine(char* line, char* key, char* value) {
    key[0] = '\0';
    value[0] = '\0';
    char* rest = nullptr;
    char* token = strtok_r(line, kLineDelimiters, &rest);
    if (!token) return 0;
    // Blanks before the '=' (or after a header) are no part of the key.
    for (char* end = token + std::strlen(token); end > token && end[-1] == ' ';)
        *--end = '\0';
    if (token[0] == '\0' || is_comment(token)) return 0;
    copy_field(key, token);
    token = strtok_r(nullptr, kLineDelimiters, &rest);
    if (token) token += std::strspn(token, " ");
    if (token && !is_comment(token)) copy_field(value, token);
    return 1;
}

uint32_t IniParseNumber(const char* text, int base) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, base));
}

bool IniIsNumber(const char* text, int base) {
    std::string_view rest = text;
    if (base == 16 && (rest.starts_with("0x") || rest.starts_with("0X"))) rest.remove_prefix(2);
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    const size_t count = std::min(rest.find_first_not_of(digits), rest.size());
    return count > 0 && rest.find_first_not_of(' ', count) == std::string_view::npos;
}

bool IniIsDate(const char* text) {
    return all_numbers(text, "/-, \t\r\n", 3);
}

bool IniIsTime(const char* text) {
    return all_numbers(text, ":-, \t\r\n", 3);
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

namespace {

// A line of the limit, its line feed and the terminating zero.
constexpr int kIniLineSize = kIniLineLimit + 2;

// Whether the line that fgets just read into `line` is whole (its line feed,
// or the file's end, within the limit). A longer one is read on to its end.
bool read_whole_line(FILE* file, char (&line)[kIniLineSize]) {
    if (std::strchr(line, '\n') || std::strlen(line) < kIniLineSize - 1) return true;
    char rest[kIniLineSize];
    while (std::fgets(rest, sizeof rest, file) && !std::strchr(rest, '\n')) {
    }
    return false;
}

// Whether the line just read is the last one and lacks its line end.
bool cut_last_line(const char* line, FILE* file) {
    if (std::strchr(line, '\n')) return false;
    const int next = std::fgetc(file);
    if (next == EOF) return true;
    std::ungetc(next, file);
    return false;
}

} // namespace

IniReading IniReadStream(FILE* file, const char* section, const IniKeyHandler& on_key,
                         IniValueCheck valid) {
    char line[kIniLineSize];
    char key[kIniFieldSize];
    char value[kIniFieldSize];
    IniReading reading;
    for (int number = 1; std::fgets(line, sizeof line, file); ++number) {
        if (!read_whole_line(file, line)) {
            if (reading.long_line == 0) reading.long_line = number;
            continue;
        }
        char* text = line;
        if (number == 1 && std::string_view(text).starts_with(kUtf8Bom)) text += kUtf8Bom.size();
        const bool cut = cut_last_line(text, file);
        if (!IniSplitLine(text, key, value)) continue;
        if (reading.header && (!cut || (valid ? valid(key, value) : value[0] != '\0')))
            on_key(key, value);
        if (std::strcmp(key, section) == 0) reading.header = true;
    }
    return reading;
}

IniReading IniReadText(std::string_view text, const char* section, const IniKeyHandler& on_key,
                       IniValueCheck valid) {
    FILE* stream =
        text.empty() ? nullptr : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (!stream) return {};
    const IniReading reading = IniReadStream(stream, section, on_key, valid);
    std::fclose(stream);
    return reading;
}

int IniReadFile(const char* path, const char* section, const IniKeyHandler& on_key, FILE* opened,
                IniValueCheck valid) {
    FILE* file = opened ? opened : unit_fopen(path, "r");
    if (!file) return -1;
    IniReadStream(file, section, on_key, valid);
    if (!opened) std::fclose(file);
    return 0;
}
