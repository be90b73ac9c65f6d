// The seam to the SPI bus: the bcm2835 library on the unit, the simulated FPGA
// elsewhere. Register access only ever exchanges whole frames through it.
#pragma once

#include <cstddef>
#include <cstdint>

struct SpiTransport {
    const char* name;
    // Initialises the bus; 0 on success, -1 when it is not available.
    int (*open)();
    // One full-duplex exchange: the received bytes replace the sent ones.
    void (*exchange)(uint8_t* frame, size_t length);
};

void spi_set_transport(const SpiTransport* transport);
// The bcm2835 transport (orv-main only).
const SpiTransport* spi_bcm2835_transport();
