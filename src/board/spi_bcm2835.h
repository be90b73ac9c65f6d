// The seam under the bcm2835 transport: the library's functions that it calls,
// the real library by default, a test's stand-in otherwise.
#pragma once

#include <cstdint>

struct Bcm2835Api {
    int (*init)();
    int (*close)();
    int (*spi_begin)();
    void (*spi_end)();
    void (*spi_setBitOrder)(uint8_t order);
    void (*spi_setDataMode)(uint8_t mode);
    void (*spi_setClockDivider)(uint16_t divider);
    void (*spi_chipSelect)(uint8_t cs);
    void (*spi_setChipSelectPolarity)(uint8_t cs, uint8_t active);
    void (*spi_transfern)(char* buf, uint32_t length);
};

// nullptr restores the library.
void spi_bcm2835_set_api(const Bcm2835Api* api);
