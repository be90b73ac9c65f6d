// The board's device nodes that were missing when the unit opened them: the
// kernel made none (SPI not enabled on the Raspberry Pi, the board's driver not
// loaded). Each is said at its open with the remedy, and stays the unit's
// reason for not serving until an open finds it.
#pragma once

#include <string>

enum class BoardDevice { spi, registers };

// Notes an open of the device's node at `path`: `error` is its errno, 0 when
// it opened. A node that does not exist (ENOENT) is logged with its remedy.
void board_device_opened(BoardDevice device, const std::string& path, int error);
// The first node missing at its last open, with its remedy; empty when none.
std::string board_device_missing();
