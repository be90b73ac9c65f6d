// Helpers shared by the settings tests.
#pragma once

#include "sandbox.h"

#include <string>

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
