// The simulated tuner-control library: a shared object standing in for the
// vendor's library. It reaches the operating system only through the OSW_
// functions of the executable that loads it and sees the reception in the view
// that the board emulator publishes, else through the executable's
// sim_tuner_view(). Requests are queued and answered from its own worker thread
// through the control callback, each once the tuner delay after its request has
// passed; while tuned with a signal it streams data.
#include "sim_tuner_view.h"
#include "tuner/osw.h"
#include "tuner/smslite.h"

#include <cstdio>
#include <cstring>

// Exported by orv-sim and the tests; absent from orv-main, which loads this
// library only on the board emulator of the booted test image.
extern "C" void sim_tuner_view(SimTunerView* view) __attribute__((weak));

namespace {

constexpr uint32_t kInitBlockSize = 20;
constexpr uint32_t kStackSize = 256 * 1024;
// The worker looks at the reception and sends a data block this often.
constexpr uint32_t kPollMs = 100;
constexpr uint32_t kStopWaitMs = 1000;
constexpr unsigned kQueueSize = 16;
constexpr uint32_t kLowestHz = 90000000;
constexpr uint32_t kHighestHz = 770000000;
constexpr uint32_t kTsPacketSize = 188;
constexpr char kVersion[] = "SIM-SMS 1.0.0";
// Every tune request is appended here ("tune <Hz>"), in the sandbox of the
// executable, so that tests and people can follow what was tuned.
constexpr char kTuneLog[] = "/sim/tuner.log";

enum class RequestKind : uint8_t { version, statistics, tune };

struct Request {
    RequestKind kind;
    uint32_t frequency_hz;
    uint32_t due_ms; // when the answer may go, on the OSW millisecond clock
};

struct Library {
    SmsLiteControlCallback control;
    SmsLiteDataCallback data;
    // Under queue_lock: the pending requests and the stop request.
    OSW_Mutex queue_lock;
    Request queue[kQueueSize];
    unsigned queued;
    bool stopping;
    OSW_Event wake;
    OSW_Event stopped;
    // The worker's own: the tuned state and the reception last reported.
    bool tuned;
    int32_t reported_signal;
    uint8_t packet[kTsPacketSize];
};

Library* library = nullptr;

// The reception as published, else as the executable's world shows it; with
// neither, a tuner that answers nothing.
void see_world(SimTunerView* view) {
    if (void* published = OSW_FS_Open(SIM_TUNER_VIEW_PATH, "rb")) {
        const uint32_t length = OSW_FS_Read(published, view, sizeof *view);
        OSW_FS_Close(published);
        if (length == sizeof *view) return;
    }
    if (sim_tuner_view) {
        sim_tuner_view(view);
        return;
    }
    *view = SimTunerView{};
    view->silent = 1;
}

void put_word(uint8_t* record, int offset, uint32_t value) {
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                              uint8_t(value >> 24)};
    std::memcpy(record + offset, bytes, sizeof bytes);
}

void send_statistics(Library* lib, const SimTunerView& view) {
    uint8_t record[SMS_STATISTICS_SIZE] = {};
    put_word(record, SMS_STAT_LOCK, lib->tuned && view.signal ? 1 : 0);
    // Without a signal there is nothing to measure.
    put_word(record, SMS_STAT_SNR, view.signal ? uint32_t(view.snr) : 0);
    put_word(record, SMS_STAT_LEVEL, view.signal ? uint32_t(view.level) : 0);
    put_word(record, SMS_STAT_LAYERS, uint32_t(view.layers));
    put_word(record, SMS_STAT_BER_A, view.ber_a);
    put_word(record, SMS_STAT_BER_B, view.ber_b);
    lib->control(SMS_MSG_STATISTICS_RES, 0, record, sizeof record);
}

void send_data_block(Library* lib) {
    lib->data(0, lib->packet, sizeof lib->packet);
}

void report_reception(Library* lib, int32_t signal) {
    lib->reported_signal = signal;
    if (signal) {
        lib->control(SMS_MSG_SIGNAL_IND, 0, nullptr, 0);
        send_data_block(lib);
    } else {
        lib->control(SMS_MSG_NO_SIGNAL_IND, 0, nullptr, 0);
    }
}

void log_tune(uint32_t frequency_hz) {
    void* log = OSW_FS_Open(kTuneLog, "a");
    if (!log) return;
    char line[32];
    const int length = std::snprintf(line, sizeof line, "tune %u\n", unsigned(frequency_hz));
    OSW_FS_Write(log, line, uint32_t(length));
    OSW_FS_Close(log);
}

void tune(Library* lib, uint32_t frequency_hz, const SimTunerView& view) {
    log_tune(frequency_hz);
    if (frequency_hz < kLowestHz || frequency_hz > kHighestHz) {
        lib->control(SMS_MSG_TUNE_RES, 1, nullptr, 0);
        return;
    }
    lib->tuned = true;
    lib->control(SMS_MSG_TUNE_RES, 0, nullptr, 0);
    report_reception(lib, view.signal);
}

void answer(Library* lib, const Request& request, const SimTunerView& view) {
    switch (request.kind) {
    case RequestKind::version:
        lib->control(SMS_MSG_VERSION_RES, 0, const_cast<char*>(kVersion), sizeof kVersion);
        break;
    case RequestKind::statistics:
        send_statistics(lib, view);
        break;
    case RequestKind::tune:
        tune(lib, request.frequency_hz, view);
        break;
    }
}

// Waits until the request's answer is due.
void hold_until_due(const Request& request) {
    const auto left = int32_t(request.due_ms - OSW_GetCurTimeStampInMSec());
    if (left > 0) OSW_TaskSleep(uint32_t(left));
}

// Reception changes while tuned are reported unprompted; a signal streams data.
void follow_reception(Library* lib, const SimTunerView& view) {
    if (!lib->tuned) return;
    if (view.signal != lib->reported_signal)
        report_reception(lib, view.signal);
    else if (view.signal)
        send_data_block(lib);
}

void worker(void* arg) {
    auto* lib = static_cast<Library*>(arg);
    for (;;) {
        OSW_EventWait(&lib->wake, kPollMs);
        Request batch[kQueueSize];
        OSW_MutexGet(&lib->queue_lock);
        const bool stopping = lib->stopping;
        const unsigned count = lib->queued;
        std::memcpy(batch, lib->queue, count * sizeof(Request));
        lib->queued = 0;
        OSW_MutexPut(&lib->queue_lock);
        if (stopping) break;
        // A silent tuner drops its requests and reports nothing.
        SimTunerView view;
        for (unsigned i = 0; i < count; ++i) {
            hold_until_due(batch[i]);
            see_world(&view);
            if (!view.silent) answer(lib, batch[i], view);
        }
        see_world(&view);
        if (!view.silent) follow_reception(lib, view);
    }
    OSW_EventSet(&lib->stopped);
}

int enqueue(RequestKind kind, uint32_t frequency_hz = 0) {
    Library* lib = library;
    if (!lib) return -1;
    SimTunerView view;
    see_world(&view);
    const Request request{kind, frequency_hz, OSW_GetCurTimeStampInMSec() + view.delay_ms};
    OSW_MutexGet(&lib->queue_lock);
    const bool room = lib->queued < kQueueSize;
    if (room) lib->queue[lib->queued++] = request;
    OSW_MutexPut(&lib->queue_lock);
    if (!room) return -1;
    OSW_EventSet(&lib->wake);
    return 0;
}

void release(Library* lib) {
    OSW_EventDelete(&lib->stopped);
    OSW_EventDelete(&lib->wake);
    OSW_MutexDelete(&lib->queue_lock);
    OSW_MemFree(lib);
}

} // namespace

extern "C" int SmsLiteMsLibInit(SmsLiteInitParams* params) {
    if (library) return -2;
    if (!params || params->size != kInitBlockSize || !params->control_callback ||
        !params->data_callback)
        return -1;
    auto* lib = static_cast<Library*>(OSW_MemAlloc(sizeof(Library)));
    if (!lib) return -1;
    std::memset(lib, 0, sizeof *lib);
    lib->control = params->control_callback;
    lib->data = params->data_callback;
    lib->packet[0] = 0x47;
    if (OSW_MutexCreate(&lib->queue_lock) != 0 || OSW_EventCreate(&lib->wake) != 0 ||
        OSW_EventCreate(&lib->stopped) != 0 ||
        OSW_TaskCreate("SmsSimWorker", 0, kStackSize, worker, lib) == 0) {
        release(lib);
        return -1;
    }
    library = lib;
    return 0;
}

extern "C" int SmsLiteGetVersion_Req(void) {
    return enqueue(RequestKind::version);
}

extern "C" int SmsLiteIsdbtTune_Req(uint32_t frequency_hz, uint32_t /*bandwidth*/,
                                    uint32_t /*reserved*/) {
    return enqueue(RequestKind::tune, frequency_hz);
}

extern "C" int SmsLiteMsGetStatistics_Req(void) {
    return enqueue(RequestKind::statistics);
}

// Stops the worker and waits until it has left its loop, so that no callback
// comes after this returns and repeated init and terminate leave no thread.
extern "C" int SmsLiteMsLibTerminate(void) {
    Library* lib = library;
    if (!lib) return -1;
    OSW_MutexGet(&lib->queue_lock);
    lib->stopping = true;
    OSW_MutexPut(&lib->queue_lock);
    OSW_EventSet(&lib->wake);
    while (OSW_EventWait(&lib->stopped, kStopWaitMs) != 0) {
    }
    release(lib);
    library = nullptr;
    return 0;
}
