/* The tuner-control library's interface as the unit uses it: the five calls,
 * the start-up block, the two callbacks, message ids and the statistics record. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*SmsLiteControlCallback)(uint32_t msg_id, uint32_t result, void* payload,
                                       uint32_t length);
typedef void (*SmsLiteDataCallback)(uint32_t handle, uint8_t* data, uint32_t length);

/* Five words on the unit: size, control callback, data callback, 5, 12000000. */
typedef struct {
    uint32_t size;
    SmsLiteControlCallback control_callback;
    SmsLiteDataCallback data_callback;
    uint32_t param1;
    uint32_t param2;
} SmsLiteInitParams;

int SmsLiteMsLibInit(SmsLiteInitParams* params);
int SmsLiteGetVersion_Req(void);
int SmsLiteIsdbtTune_Req(uint32_t frequency_hz, uint32_t bandwidth, uint32_t reserved);
int SmsLiteMsGetStatistics_Req(void);
int SmsLiteMsLibTerminate(void);

enum {
    SMS_MSG_VERSION_RES = 1000,
    SMS_MSG_STATISTICS_RES = 1003,
    SMS_MSG_TUNE_RES = 2003,
    SMS_MSG_NO_SIGNAL_IND = 14009,
    SMS_MSG_SIGNAL_IND = 14010,
};

/* TunerStatistics: 284 bytes, little-endian 32-bit words at these offsets. */
enum {
    SMS_STATISTICS_SIZE = 284,
    SMS_STAT_LOCK = 12,
    SMS_STAT_SNR = 20,
    SMS_STAT_LEVEL = 28,
    SMS_STAT_LAYERS = 64,
    SMS_STAT_BER_A = 84,
    SMS_STAT_BER_B = 132,
};

#ifdef __cplusplus
}
#endif
