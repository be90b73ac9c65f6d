// Tuning for the time service. A tune stops the NTP daemon that this program
// started (the served time is stale until the next take starts it again) and
// writes the stratum of the new settings while the daemon is stopped.
#include "tot/tot_tuning.h"

#include "tot/ntp_server.h"
#include "tuner/tuner_control.h"

int tot_tuner_start(const TotSettings& settings, const char* reason) {
    if (tuner_context.fd < 0) return tuner_start(settings.Set_TOT_CH_NUM);
    if (ntp_server.running) ntp_server_stop(reason);
    tuner_start(settings.Set_TOT_CH_NUM);
    set_ntp_stratum(settings.Set_TOT_STRATUM - 1);
    return 0;
}

int tot_tuner_restart(int reason) {
    tuner_restart(reason);
    return tot_tuner_start(tot_settings);
}
