// Text helpers shared by the time-service tests.
#pragma once

#include <string>

// How often `what` occurs in `text`, overlaps included.
inline int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}
