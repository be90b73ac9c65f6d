// The choice of the SPI transport on the unit: the deployment setting ORV_SPI,
// else the Raspberry Pi model that the device tree names.
#include "board/spi_transport.h"

#include "os/deploy_settings.h"

#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr const char* kModelFiles[] = {"/proc/device-tree/model",
                                       "/sys/firmware/devicetree/base/model"};

std::string device_tree_model() {
    for (const char* path : kModelFiles) {
        std::ifstream in(path, std::ios::binary);
        std::string model{std::istreambuf_iterator<char>(in), {}};
        if (!model.empty()) return model;
    }
    return {};
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

} // namespace

SpiBus spi_bus_for(std::string_view setting, std::string_view model) {
    const bool pi = contains(model, "Raspberry Pi");
    // The Raspberry Pi 5 family (5, 500, Compute Module 5) has its SPI behind the RP1.
    const bool pi5 = contains(model, "Raspberry Pi 5") || contains(model, "Compute Module 5");
    if (setting == "spidev") return SpiBus::spidev;
    if (setting == "bcm2835") return pi ? SpiBus::bcm2835 : SpiBus::none;
    if (pi5) return SpiBus::spidev;
    return pi ? SpiBus::bcm2835 : SpiBus::none;
}

SpiBus spi_bus_of_this_machine() {
    return spi_bus_for(deploy_setting("ORV_SPI"), device_tree_model());
}
