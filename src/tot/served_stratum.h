// The stratum that the NTP daemon serves to its clients, as the configuration
// that the unit writes for it says: ntp.conf (ntpd, ntpsec) or chrony's file
// of the unit.
#pragma once

#include <string>

// The unit path of the daemon's configuration that the unit writes.
std::string ntp_daemon_conf();
// The stratum served by that configuration, -1 when it names none.
int served_stratum();
