// The board's device nodes found missing at their last open, with the remedy
// of each.
#include "board/device_nodes.h"

#include "log/status_log.h"

#include <array>
#include <cerrno>

namespace {

constexpr std::array<const char*, 2> kRemedies = {
    "SPI not enabled (dtparam=spi=on in the Raspberry Pi's config.txt, then reboot)",
    "the FPGA board's driver not loaded (install and load its kernel module)"};

std::array<std::string, 2> missing;

} // namespace

void board_device_opened(BoardDevice device, const std::string& path, int error) {
    std::string& text = missing[size_t(device)];
    text.clear();
    if (error != ENOENT) return;
    text = path + " missing: " + kRemedies[size_t(device)];
    LogPrint(LOG_TO_BOTH, 3, "%s\n", text.c_str());
}

std::string board_device_missing() {
    for (const std::string& text : missing)
        if (!text.empty()) return text;
    return {};
}
