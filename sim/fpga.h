// The simulated FPGA behind the SPI transport: GPIO output and input, version
// register and the TOT capture block, driven by the simulated world.
#pragma once

#include "board/spi_transport.h"
#include <cstdint>

const SpiTransport* sim_fpga_transport();
// The value last written to the GPIO output register (0 before any write).
uint32_t sim_fpga_gpio_output();
