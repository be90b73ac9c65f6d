// Tuning for the time service. A tune, a tuner restart or a new channel, leaves
// the NTP daemon serving: within the holdover limit, counted from the last
// take, the unit's clock is fit to serve, and only that limit stops the daemon
// for want of broadcast time. A new stratum is written, and a running daemon
// restarted to serve it. Only a restart of the program's pass stops the daemon.
#include "tot/tot_tuning.h"

#include "tot/ntp_server.h"
#include "tuner/tuner_control.h"

int tot_tuner_start(const TotSettings& settings, const char* stop_reason) {
    if (tuner_context.fd < 0) return tuner_start(settings.Set_TOT_CH_NUM);
    if (stop_reason && ntp_server.running) ntp_server_stop(stop_reason);
    tuner_start(settings.Set_TOT_CH_NUM);
    set_ntp_stratum(settings.Set_TOT_STRATUM - 1);
    return 0;
}

int tot_tuner_restart(TunerRestartReason reason) {
    tuner_restart(reason);
    return tot_tuner_start(tot_settings);
}
