/* What the simulated tuner library sees of the simulated world: the view that
 * the board emulator publishes in SIM_TUNER_VIEW_PATH (a unit path, one record
 * written whole) when there is one, else what sim_tuner_view returns when the
 * executable that loads the library exports it (orv-sim, the tests). */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    int32_t signal; /* 1: a receivable broadcast on every channel */
    int32_t snr;    /* dB */
    int32_t level;  /* 0 to 255 */
    int32_t layers;
    uint32_t ber_a; /* units of 1e-5 */
    uint32_t ber_b;
    int32_t silent;    /* 1: the tuner answers no request */
    uint32_t delay_ms; /* each answer comes this long after its request */
} SimTunerView;

#define SIM_TUNER_VIEW_PATH "/var/lib/orv-board/tuner-view"

void sim_tuner_view(SimTunerView* view);

#ifdef __cplusplus
}
#endif
