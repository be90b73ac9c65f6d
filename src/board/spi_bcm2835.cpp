// The SPI transport of the unit: SPI0, chip select CS1, through the bcm2835
// library. The library maps the peripheral memory, so it is initialised only
// when the device tree says this is a Raspberry Pi.
#include "board/spi_transport.h"

#include <bcm2835.h>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr const char* kModelFiles[] = {"/proc/device-tree/model",
                                       "/sys/firmware/devicetree/base/model"};

bool is_raspberry_pi() {
    for (const char* path : kModelFiles) {
        std::ifstream in(path, std::ios::binary);
        const std::string model{std::istreambuf_iterator<char>(in), {}};
        if (model.find("Raspberry Pi") != std::string::npos) return true;
    }
    return false;
}

int bcm2835_open() {
    if (!is_raspberry_pi()) return -1;
    if (bcm2835_init() != 1) return -1;
    bcm2835_spi_begin();
    bcm2835_spi_setBitOrder(BCM2835_SPI_BIT_ORDER_MSBFIRST);
    bcm2835_spi_setDataMode(BCM2835_SPI_MODE0);
    bcm2835_spi_setClockDivider(BCM2835_SPI_CLOCK_DIVIDER_128);
    bcm2835_spi_chipSelect(BCM2835_SPI_CS1);
    bcm2835_spi_setChipSelectPolarity(BCM2835_SPI_CS1, LOW);
    return 0;
}

void bcm2835_exchange(uint8_t* frame, size_t length) {
    bcm2835_spi_transfern(reinterpret_cast<char*>(frame), uint32_t(length));
}

constexpr SpiTransport kBcm2835Transport{"bcm2835", bcm2835_open, bcm2835_exchange};

} // namespace

const SpiTransport* spi_bcm2835_transport() {
    return &kBcm2835Transport;
}
