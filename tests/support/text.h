// Text helpers shared by the tests.
#pragma once

#include <string>

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// How often `what` occurs in `text`, overlaps included.
inline int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}
