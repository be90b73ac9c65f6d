// Tuner control: turns the callback-driven tuner-control library into blocking
// requests with time limits, keeps the channel table and the lock filter, and
// restarts the tuner hardware. Requests run on the main thread; the two
// callbacks run on the library's threads and wake it through two events.
#include "tuner/tuner_control.h"

#include "log/status_log.h"
#include "os/pace.h"
#include "os/shell.h"
#include "tuner/smslite.h"
#include "tuner/tuner_lib.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <mutex>

TunerContext tuner_context;

namespace {

constexpr unsigned kResponseWaitMs = 5000;
constexpr unsigned kSignalWaitMs = 4000;
constexpr uint32_t kBerLimit = 100000;
constexpr int kFactoryChannel = 27;
constexpr int kMaxLayers = 3;
constexpr uint32_t kInitBlockSize = 20;
constexpr uint32_t kInitParam1 = 5;
constexpr uint32_t kInitParam2 = 12000000;
constexpr int32_t kNoResponse = -1;

constexpr std::array<uint32_t, 62> make_channel_table() {
    std::array<uint32_t, 62> table{};
    for (uint32_t ch = 1; ch <= 62; ++ch) {
        uint32_t hz;
        if (ch <= 3)
            hz = 93142857 + (ch - 1) * 6000000;
        else if (ch <= 7)
            hz = 173142857 + (ch - 4) * 6000000;
        else if (ch <= 12)
            hz = 195142857 + (ch - 8) * 6000000;
        else
            hz = 473142857 + (ch - 13) * 6000000;
        table[ch - 1] = hz;
    }
    return table;
}

constexpr std::array<uint32_t, 62> kChannelTable = make_channel_table();

// Guards the response fields of the context (expected id, result, payload copy
// and length) between the main thread and the library's callback thread, and
// orders the setting of the response event by a matched answer before its
// clearing for the next request.
std::mutex response_lock;
// The library's functions while it is initialised and not yet terminated.
const SmsLiteApi* open_api = nullptr;
bool events_created = false;

void release_payload_locked() {
    OSW_MemFree(tuner_context.payload);
    tuner_context.payload = nullptr;
    tuner_context.payload_length = 0;
}

// Releases the last payload and names the response the next request awaits.
// An answer that came after an earlier request had timed out, but before its
// expectation was dropped, has left the response event set: it is cleared
// here, so that the wait ends only on an answer matched from now on.
void expect_response(int32_t msg_id) {
    std::lock_guard lock(response_lock);
    release_payload_locked();
    OSW_EventClear(&tuner_context.response_event);
    tuner_context.expected_response = msg_id;
}

void drop_response() {
    std::lock_guard lock(response_lock);
    tuner_context.expected_response = kNoResponse;
}

// Waits for the awaited response; 0 when it came, else the expectation is dropped.
int await_response() {
    if (OSW_EventWait(&tuner_context.response_event, pace_wait_ms(kResponseWaitMs)) == 0) return 0;
    drop_response();
    return -1;
}

uint32_t stat_word(const uint8_t* record, int offset) {
    uint32_t word;
    std::memcpy(&word, record + offset, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    return word;
}

void create_events() {
    if (events_created) return;
    events_created = OSW_EventCreate(&tuner_context.response_event) == 0;
    if (events_created && OSW_EventCreate(&tuner_context.signal_event) != 0) {
        OSW_EventDelete(&tuner_context.response_event);
        events_created = false;
    }
}

void delete_events() {
    if (!events_created) return;
    OSW_EventDelete(&tuner_context.response_event);
    OSW_EventDelete(&tuner_context.signal_event);
    events_created = false;
}

// The frequency to tune for a configured channel: one outside the table keeps
// the last good frequency, or the factory channel's when there is none.
uint32_t start_frequency(int channel) {
    const uint32_t hz = channel_to_frequency(channel);
    if (hz != 0) return hz;
    const uint32_t kept = tuner_context.frequency != 0 ? tuner_context.frequency
                                                       : channel_to_frequency(kFactoryChannel);
    LogPrint(LOG_TO_BOTH, 3, "Tuner channel %d out of range, tuning %ld[Hz]\n", channel,
             long(kept));
    return kept;
}

} // namespace

uint32_t channel_to_frequency(int channel) {
    if (channel < 1 || channel > int(kChannelTable.size())) return 0;
    return kChannelTable[size_t(channel - 1)];
}

int tuner_init() {
    // A new pass finds the library still open: close it first so that only one
    // set of library threads ever runs.
    if (open_api) tuner_terminate();
    create_events();
    const SmsLiteApi* api = events_created ? tuner_lib_load() : nullptr;
    SmsLiteInitParams params{kInitBlockSize, tuner_on_control, tuner_on_data, kInitParam1,
                             kInitParam2};
    if (!api || api->MsLibInit(&params) != 0) {
        LogPrint(LOG_TO_BOTH, 6, "Tuner Init NG\n");
        return 1;
    }
    open_api = api;
    tuner_context.fd = 0;
    tuner_get_version();
    return 0;
}

int tuner_terminate() {
    int result = 0;
    if (open_api) {
        result = open_api->MsLibTerminate();
        open_api = nullptr;
    }
    delete_events();
    return result;
}

int tuner_get_version() {
    expect_response(SMS_MSG_VERSION_RES);
    // A request that cannot be sent times out like one that goes unanswered.
    if (open_api) open_api->GetVersion_Req();
    return await_response();
}

int tuner_start(int channel) {
    tuner_context.tune_requested = 1;
    if (tuner_context.fd < 0) {
        std::printf("<debug>Invalid tuner fd, open failed. :%d", tuner_context.fd);
        std::fflush(stdout);
        return -1;
    }
    if (!tuner_context.first_tune_done) {
        tuner_tune(channel_to_frequency(channel == 12 ? 13 : 12));
        tuner_context.first_tune_done = 1;
    }
    tuner_context.frequency = start_frequency(channel);
    std::printf("%ld[Hz] Tuning start...\n", long(tuner_context.frequency));
    std::fflush(stdout);
    tuner_tune(tuner_context.frequency);
    return 0;
}

int tuner_tune(uint32_t frequency_hz) {
    if (!events_created) return -1;
    OSW_EventClear(&tuner_context.signal_event);
    tuner_context.signal = 0;
    expect_response(SMS_MSG_TUNE_RES); // clears the response event
    if (open_api) open_api->IsdbtTune_Req(frequency_hz, 8, 0);
    if (await_response() != 0) return -1;
    uint32_t result;
    {
        std::lock_guard lock(response_lock);
        result = tuner_context.response_result;
    }
    if (result != 0) return int(result);
    if (OSW_EventWait(&tuner_context.signal_event, pace_wait_ms(kSignalWaitMs)) != 0) {
        drop_response();
        return -1;
    }
    return 0;
}

int tuner_get_statistics(uint8_t* record) {
    if (!events_created) return -1;
    expect_response(SMS_MSG_STATISTICS_RES);
    if (open_api) open_api->MsGetStatistics_Req();
    if (await_response() != 0) return -1;
    std::array<uint8_t, SMS_STATISTICS_SIZE> stats;
    {
        std::lock_guard lock(response_lock);
        // A payload shorter than the record is a failed request, never read past.
        if (tuner_context.response_result != 0 || !tuner_context.payload ||
            tuner_context.payload_length < SMS_STATISTICS_SIZE)
            return -1;
        std::memcpy(stats.data(), tuner_context.payload, stats.size());
    }
    const auto layers = int32_t(stat_word(stats.data(), SMS_STAT_LAYERS));
    if (layers > kMaxLayers) {
        for (int i = 0; i < 5; ++i)
            std::printf("@@@@@@@@@@@@@@@@@@@@@@@@@@@ Layer num error %d\n", layers);
        std::fflush(stdout);
        return -1;
    }
    std::memcpy(record, stats.data(), stats.size());
    return 0;
}

int tuner_lock_filter(int lock, int snr) {
    TunerContext& t = tuner_context;
    if (lock == 1 && snr != 0) {
        t.bad_count = 0;
        if (++t.good_count > 2) {
            t.good_count = 0;
            t.filtered_lock = 1;
        }
    } else {
        t.good_count = 0;
        if (++t.bad_count > 2) {
            t.bad_count = 0;
            t.filtered_lock = 0;
        }
    }
    return t.filtered_lock;
}

int tuner_get_status(TunerReading& status) {
    std::array<uint8_t, SMS_STATISTICS_SIZE> record;
    if (tuner_get_statistics(record.data()) != 0) return -1;
    const uint8_t* r = record.data();
    const auto snr = int32_t(stat_word(r, SMS_STAT_SNR));
    int lock;
    if (tuner_context.tune_requested) {
        tuner_context.good_count = 0;
        tuner_context.filtered_lock = 0;
        lock = 0;
    } else {
        lock = tuner_lock_filter(int(stat_word(r, SMS_STAT_LOCK) & 0xFF), snr);
    }
    const uint32_t ber_a = stat_word(r, SMS_STAT_BER_A);
    const uint32_t ber_b = stat_word(r, SMS_STAT_BER_B);
    status.level = stat_word(r, SMS_STAT_LEVEL);
    status.snr = snr;
    status.ber_a = std::min(ber_a, kBerLimit);
    status.ber_b = std::min(ber_b, kBerLimit);
    status.ber = std::max(ber_a, ber_b);
    status.lock = uint8_t(lock);
    return lock;
}

int tuner_restart(int reason) {
    LogPrint(LOG_TO_BOTH, 6, "Tuner Restart (%d)\n", reason);
    tuner_terminate();
    run_command("/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;");
    return tuner_init();
}

extern "C" void tuner_on_control(uint32_t msg_id, uint32_t result, void* payload, uint32_t length) {
    if (msg_id == SMS_MSG_NO_SIGNAL_IND) {
        tuner_context.signal = 0;
        OSW_EventSet(&tuner_context.signal_event);
        return;
    }
    if (msg_id == SMS_MSG_SIGNAL_IND) {
        tuner_context.signal = 1;
        tuner_context.first_data = 1;
        return;
    }
    std::lock_guard lock(response_lock);
    if (tuner_context.expected_response == kNoResponse ||
        int32_t(msg_id) != tuner_context.expected_response)
        return;
    tuner_context.response_result = result;
    tuner_context.payload_length = length;
    tuner_context.expected_response = kNoResponse;
    if (length != 0) {
        tuner_context.payload = OSW_MemAlloc(length);
        // Without memory the waiter is left to time out.
        if (!tuner_context.payload) return;
        std::memcpy(tuner_context.payload, payload, length);
    }
    OSW_EventSet(&tuner_context.response_event);
}

extern "C" void tuner_on_data(uint32_t /*handle*/, uint8_t* /*data*/, uint32_t /*length*/) {
    if (tuner_context.first_data.exchange(0)) OSW_EventSet(&tuner_context.signal_event);
}
