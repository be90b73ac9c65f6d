// The guard of orv-vmtest: the image's token file against the kernel command line.
#include "image_guard.h"

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

bool vmtest_image_booted(const char* token_path, const char* cmdline_path) {
    const std::string token = first_line(token_path);
    if (token.size() < 16 || token.find_first_of(" \t") != std::string::npos) return false;
    std::istringstream words(first_line(cmdline_path));
    std::string word;
    while (words >> word)
        if (word == "orv.vmtest=" + token) return true;
    return false;
}
