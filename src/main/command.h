// Command dispatch for messages read from the control FIFO, with the "reg" and
// "iic" test commands.
#pragma once

#include <string_view>

int main_command(const char* message);
int reg_command(const char* message);
int iic_command(const char* message);
// Whether the text begins with one of the command words.
bool begins_with_command_word(std::string_view text);
// The word of the command that the text begins with when that command ends the
// pass (RESET, END, REBOOT, FACTORY_RESET, [UpLoad], [UpLoadFpga]); else empty.
std::string_view pass_ending_word(std::string_view text);
