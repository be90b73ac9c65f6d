// The FPGA register device: any 32-bit FPGA address, read and written by
// selecting it with an ioctl and transferring four bytes.
#pragma once

#include <cstdint>

int FpgaOpen();
int FpgaClose();
int FpgaRead32(uint32_t address, uint32_t* value);
int FpgaWrite32(uint32_t address, uint32_t value);
// End of a pass: the auxiliary register handle is marked closed, then the
// register device is closed.
int fpga_device_term();
