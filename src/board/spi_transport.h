// The seam to the SPI bus: the kernel's spidev driver or the bcm2835 library on
// the unit, the simulated FPGA elsewhere. Register access only ever exchanges
// whole frames through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct SpiTransport {
    const char* name;
    // Initialises the bus; 0 on success, -1 when it is not available.
    int (*open)();
    // One full-duplex exchange: the received bytes replace the sent ones.
    // 0 on success, -1 when the exchange failed.
    int (*exchange)(uint8_t* frame, size_t length);
    // Releases what open took; may be left out when there is nothing to release.
    void (*close)() = nullptr;
};

void spi_set_transport(const SpiTransport* transport);

// The spidev transport: ORV_SPIDEV names the device, /dev/spidev0.1 by default.
const SpiTransport* spi_spidev_transport();
// The bcm2835 transport (orv-main and its tests, in the orv_bcm2835 library).
const SpiTransport* spi_bcm2835_transport();

// Which transport reaches the unit's FPGA: ORV_SPI chooses "spidev" or
// "bcm2835"; else a Raspberry Pi 5 takes spidev (the bcm2835 library does not
// know its peripherals) and earlier models take bcm2835. Off a Raspberry Pi the
// bcm2835 library would map memory that is no SPI controller: none.
enum class SpiBus { none, spidev, bcm2835 };
SpiBus spi_bus_for(std::string_view setting, std::string_view model);
// The same from the deployment settings and this machine's device-tree model.
SpiBus spi_bus_of_this_machine();
