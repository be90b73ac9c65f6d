// The IIC bridge behind the register device: six channels, transactions of up
// to 16 data bytes through the bridge's transfer memory.
#pragma once

#include <cstdint>

int Zentu_IIC_Open(const uint32_t regs[4], uint8_t port, uint8_t slave, uint32_t bitrate_khz);
int Zentu_IIC_Write(int channel, const uint8_t* data, int length);
int Zentu_IIC_WriteRead(int channel, const uint8_t* wdata, int wlength, uint8_t* rdata,
                        int rlength);
int Zentu_IIC_Close(int channel);
int Zentu_IIC_WaitComp(int channel);
