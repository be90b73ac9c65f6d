// Tuner control: blocking, time-limited requests to the tuner-control library,
// the channel table, the lock filter and the tuner restart.
#pragma once

#include "tuner/osw.h"
#include <atomic>
#include <cstdint>

// One statistics reading as the time service shows it: level, signal-to-noise
// ratio, bit error rates (limited and unlimited) and the filtered lock.
struct TunerReading {
    uint32_t level;
    int32_t snr;
    uint32_t ber_a;
    uint32_t ber_b;
    uint32_t ber;
    uint8_t lock;
};

// Every field 0 at process start but the tuner descriptor, -1 until the
// library opens.
struct TunerContext {
    int32_t fd = -1;
    OSW_Event response_event;
    OSW_Event signal_event;
    std::atomic<int32_t> expected_response; // written before each request
    uint32_t response_result;
    void* payload;
    uint32_t payload_length;
    std::atomic<int32_t> signal;
    std::atomic<uint8_t> first_data;
    int32_t tune_requested;
    int32_t first_tune_done;
    uint32_t frequency;
    int32_t good_count;
    int32_t bad_count;
    int32_t filtered_lock;
};

extern TunerContext tuner_context;

int tuner_init();
// Tunes to a channel (1 to 62): the preliminary tune of the process first. -1
// when the library is not open.
int tuner_start(int channel);
int tuner_tune(uint32_t frequency_hz);
int tuner_get_statistics(uint8_t* record);
int tuner_get_status(TunerReading& reading);
// Restarts the tuner hardware and opens the library again; the caller tunes.
int tuner_restart(int reason);
int tuner_terminate();
int tuner_get_version();
int tuner_lock_filter(int lock, int snr);
uint32_t channel_to_frequency(int channel);

extern "C" void tuner_on_control(uint32_t msg_id, uint32_t result, void* payload, uint32_t length);
extern "C" void tuner_on_data(uint32_t handle, uint8_t* data, uint32_t length);
