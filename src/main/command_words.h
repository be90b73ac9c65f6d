// The words that begin the commands of the control FIFO, in the order the
// dispatch tests them; orvctl checks what it sends against them.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

inline constexpr std::array<std::string_view, 10> kCommandWords{
    "reg",   "iic", "[SetupChange]", "[UpLoad]",      "[UpLoadFpga]",
    "RESET", "END", "REBOOT",        "FACTORY_RESET", "LOG_DELETE"};

inline bool is_command_word(std::string_view word) {
    return std::find(kCommandWords.begin(), kCommandWords.end(), word) != kCommandWords.end();
}

// All of them, joined by blanks.
inline std::string command_words() {
    std::string words;
    for (std::string_view word : kCommandWords) {
        if (!words.empty()) words += ' ';
        words += word;
    }
    return words;
}
