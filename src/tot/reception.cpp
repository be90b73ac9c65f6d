// The reception watch: lock changes logged as they happen, and a poor
// reception once an episode, against the thresholds of the deployment settings.
#include "tot/reception.h"

#include "log/deploy_report.h"
#include "log/status_log.h"

ReceptionState reception{};

namespace {

// The threshold of the deployment settings; an unusable one keeps the default
// (logged once).
double threshold(const char* key) {
    const DeployValue value = deploy_value(key);
    log_deploy_problem(value);
    return value.real;
}

} // namespace

void reception_note(const TunerReading& reading, int channel) {
    const bool locked = reading.lock == 1;
    if (locked != reception.locked)
        LogPrint(LOG_TO_BOTH, 6,
                 locked ? "Tuner locked on UHF-%d\n" : "Tuner lock lost on UHF-%d\n", channel);
    reception.locked = locked;
    const double snr_min = threshold("ORV_SNR_MIN_DB");
    const double ber_max = threshold("ORV_BER_MAX");
    const double ber = reading.ber * 1e-5;
    const bool poor = locked && (reading.snr < snr_min || ber > ber_max);
    if (poor && !reception.poor)
        LogPrint(LOG_TO_BOTH, 4,
                 "Poor reception on UHF-%d: SNR %d dB (ORV_SNR_MIN_DB %g), BER %g (ORV_BER_MAX "
                 "%g)\n",
                 channel, reading.snr, snr_min, ber, ber_max);
    else if (!poor && reception.poor && locked)
        LogPrint(LOG_TO_BOTH, 6, "Reception good again on UHF-%d: SNR %d dB, BER %g\n", channel,
                 reading.snr, ber);
    reception.poor = poor;
}
