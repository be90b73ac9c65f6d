// The unit's program: the board's SPI bus through the kernel's spidev driver or
// the bcm2835 library, the register device of the board's driver and the
// tuner-control library.
#include "board/reg_device.h"
#include "board/spi_transport.h"
#include "main/lifecycle.h"
#include "tuner/tuner_lib.h"

#include <cstdio>

namespace {

const SpiTransport* unit_spi_transport() {
    switch (spi_bus_of_this_machine()) {
    case SpiBus::spidev:
        return spi_spidev_transport();
    case SpiBus::bcm2835:
        return spi_bcm2835_transport();
    case SpiBus::none:
        break;
    }
    return nullptr;
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    spi_set_transport(unit_spi_transport());
    reg_device_set_ops(nullptr);
    tuner_lib_set_path("libsmscontrollite.so");
    return orv_run();
}
