// The SPI transport through the bcm2835 library: SPI0, chip select CS1 active
// low, mode 0, most significant bit first, divider 128. The library maps the
// peripherals of a Raspberry Pi up to the 4; it is closed with the link, so that
// a new pass maps them afresh instead of over the old mapping.
#include "board/spi_bcm2835.h"

#include "board/spi_transport.h"

#include <bcm2835.h>

namespace {

constexpr Bcm2835Api kLibrary{bcm2835_init,
                              bcm2835_close,
                              bcm2835_spi_begin,
                              bcm2835_spi_end,
                              bcm2835_spi_setBitOrder,
                              bcm2835_spi_setDataMode,
                              bcm2835_spi_setClockDivider,
                              bcm2835_spi_chipSelect,
                              bcm2835_spi_setChipSelectPolarity,
                              bcm2835_spi_transfern};

const Bcm2835Api* api = &kLibrary;

// bcm2835_spi_begin fails without access to the SPI controller (not root): the
// library is closed again and the open fails.
int bcm2835_open() {
    if (api->init() != 1) return -1;
    if (api->spi_begin() != 1) {
        api->close();
        return -1;
    }
    api->spi_setBitOrder(BCM2835_SPI_BIT_ORDER_MSBFIRST);
    api->spi_setDataMode(BCM2835_SPI_MODE0);
    api->spi_setClockDivider(BCM2835_SPI_CLOCK_DIVIDER_128);
    api->spi_chipSelect(BCM2835_SPI_CS1);
    api->spi_setChipSelectPolarity(BCM2835_SPI_CS1, LOW);
    return 0;
}

int bcm2835_exchange(uint8_t* frame, size_t length) {
    api->spi_transfern(reinterpret_cast<char*>(frame), uint32_t(length));
    return 0;
}

void bcm2835_release() {
    api->spi_end();
    api->close();
}

constexpr SpiTransport kBcm2835Transport{"bcm2835", bcm2835_open, bcm2835_exchange,
                                         bcm2835_release};

} // namespace

void spi_bcm2835_set_api(const Bcm2835Api* new_api) {
    api = new_api ? new_api : &kLibrary;
}

const SpiTransport* spi_bcm2835_transport() {
    return &kBcm2835Transport;
}
