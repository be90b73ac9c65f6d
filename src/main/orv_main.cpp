// The unit's program: the board's SPI bus through the bcm2835 library, the
// register device of the board's driver and the tuner-control library.
#include "board/reg_device.h"
#include "board/spi_transport.h"
#include "main/lifecycle.h"
#include "tuner/tuner_lib.h"

#include <cstdio>

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    spi_set_transport(spi_bcm2835_transport());
    reg_device_set_ops(nullptr);
    tuner_lib_set_path("libsmscontrollite.so");
    return orv_run();
}
