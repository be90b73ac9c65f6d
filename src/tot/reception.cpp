// The reception watch: lock changes logged as they happen, and a poor
// reception once an episode, against the thresholds of the deployment settings.
#include "tot/reception.h"

#include "log/status_log.h"
#include "os/deploy_settings.h"

#include <cmath>
#include <cstdlib>
#include <string>

ReceptionState reception{};

namespace {

// Below about 15 dB an ISDB-T signal of 64QAM no longer decodes reliably; a BER
// past 2e-4 before Reed-Solomon decoding is no longer quasi error free.
constexpr double kSnrMinDb = 15;
constexpr double kBerMax = 2e-4;
std::string bad_threshold_logged;

// The threshold of the deployment settings; one that is no number keeps the
// fallback (logged once).
double threshold(const char* key, double fallback) {
    const std::string text = deploy_setting(key);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || (*end == '\0' && std::isfinite(value)))
        return text.empty() ? fallback : value;
    if (bad_threshold_logged != key + text)
        LogPrint(LOG_TO_BOTH, 3, "%s \"%s\" is no number: %g kept\n", key, LogEscaped(text).c_str(),
                 fallback);
    bad_threshold_logged = key + text;
    return fallback;
}

} // namespace

void reception_note(const TunerReading& reading, int channel) {
    const bool locked = reading.lock == 1;
    if (locked != reception.locked)
        LogPrint(LOG_TO_BOTH, 6,
                 locked ? "Tuner locked on UHF-%d\n" : "Tuner lock lost on UHF-%d\n", channel);
    reception.locked = locked;
    const double snr_min = threshold("ORV_SNR_MIN_DB", kSnrMinDb);
    const double ber_max = threshold("ORV_BER_MAX", kBerMax);
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
