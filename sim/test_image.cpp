// The test image's guard: its token file against the kernel command line.
#include "test_image.h"

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string first_line(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

bool test_image_booted(const char* token_path, const char* cmdline_path) {
    const std::string token = first_line(token_path);
    if (token.size() < 16 || token.find_first_of(" \t") != std::string::npos) return false;
    std::istringstream words(first_line(cmdline_path));
    std::string word;
    while (words >> word)
        if (word == "orv.testimage=" + token) return true;
    return false;
}
