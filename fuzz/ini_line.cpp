// The INI line splitter and the value parsers on any text: a line as one read
// hands it over, and every parser on the whole text.
#include "fuzz_sandbox.h"
#include "settings/ini.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    char line[kIniLineLimit + 2] = {};
    std::memcpy(line, data, std::min(size, sizeof line - 1));
    char key[kIniFieldSize];
    char value[kIniFieldSize];
    std::memset(key, 'k', sizeof key);
    std::memset(value, 'v', sizeof value);
    const int found = IniSplitLine(line, key, value);
    FUZZ_CHECK(std::memchr(key, '\0', sizeof key) && std::memchr(value, '\0', sizeof value));
    if (found) {
        FUZZ_CHECK(key[0] != '\0' && key[0] != ';' && key[0] != '#');
        FUZZ_CHECK(value[0] != ';' && value[0] != '#');
        FUZZ_CHECK(!std::strpbrk(key, "=\t\r\n") && !std::strpbrk(value, "=\t\r\n"));
    } else {
        FUZZ_CHECK(key[0] == '\0' && value[0] == '\0');
    }

    DateTime dt{};
    IniParseDate(text.c_str(), dt);
    IniParseTime(text.c_str(), dt);
    uint8_t address[4] = {};
    IniParseIpAddress(text.c_str(), address);
    IniParseNumber(text.c_str(), 16);
    IniParseNumber(text.c_str(), 10);
    return 0;
}
