// The reception watch: the moments the tuner gains and loses lock, and a
// reception below the installation's thresholds (ORV_SNR_MIN_DB in dB,
// ORV_BER_MAX as a ratio), each logged once an episode.
#pragma once

#include "tuner/tuner_control.h"

struct ReceptionState {
    bool locked; // as last read
    bool poor;   // locked, and the SNR or the BER past its threshold
};

extern ReceptionState reception;

// Each statistics reading of the tuner, tuned to the channel.
void reception_note(const TunerReading& reading, int channel);
