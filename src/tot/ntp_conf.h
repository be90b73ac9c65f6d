// ntp.conf for ntpd and ntpsec: the unit's reference-clock lines written into
// the working copy for the delivery that time_delivery chooses, and the copy
// where the daemon reads it.
#pragma once

#include <string>

// The configuration of ntpd's init script, and of ntpsec, for shm or step
// delivery at the stratum (that of the clock lines: ntpd serves one above it,
// ntpsec its orphan stratum). 0, or -1 (the first of a run logged).
int ntpd_write_conf(bool shm, int stratum);
int ntpsec_write_conf(bool shm, int stratum);
// The unit path of the copy that the daemon reads (a directory named for it
// holds "ntp.conf").
std::string ntp_conf_copy_path();
// A write succeeded after failed ones: the next failure is logged again.
void ntp_conf_failures_over();
