// Notifications to the service manager through libsystemd's sd_notify, which
// sends nothing when NOTIFY_SOCKET is unset.
#include "os/service_manager.h"

#include <systemd/sd-daemon.h>

void service_ready() {
    sd_notify(0, "READY=1");
}

void service_alive() {
    sd_notify(0, "WATCHDOG=1");
}

void service_allow_seconds(unsigned seconds) {
    sd_notifyf(0, "WATCHDOG_USEC=%llu", static_cast<unsigned long long>(seconds) * 1000000);
}
