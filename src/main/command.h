// Command dispatch for messages read from the control FIFO, with the "reg" and
// "iic" test commands.
#pragma once

int main_command(const char* message);
int reg_command(const char* message);
int iic_command(const char* message);
