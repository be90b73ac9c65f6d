// Binding to the tuner-control library, loaded at run time.
#pragma once

#include "tuner/smslite.h"

struct SmsLiteApi {
    int (*MsLibInit)(SmsLiteInitParams* params);
    int (*GetVersion_Req)();
    int (*IsdbtTune_Req)(uint32_t frequency_hz, uint32_t bandwidth, uint32_t reserved);
    int (*MsGetStatistics_Req)();
    int (*MsLibTerminate)();
};

// The library to load: "libsmscontrollite.so" (found by the dynamic loader)
// unless set otherwise.
void tuner_lib_set_path(const char* path);
// The library's functions, or nullptr when it cannot be loaded or lacks one.
const SmsLiteApi* tuner_lib_load();
