// The stratum that the NTP daemon serves to its clients, as the configuration
// that the unit writes for it (ntp_daemon_conf) says.
#pragma once

// The stratum served by that configuration, -1 when it names none.
int served_stratum();
