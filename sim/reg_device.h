// The simulated register device: a model of the FPGA address space seen through
// the kernel driver, with the IIC bridge and its slaves on port 0.
#pragma once

#include "board/reg_device.h"

const RegDeviceOps* sim_reg_device_ops();
