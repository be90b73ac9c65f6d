// Tuner control against the simulated tuner library: opening, tuning, statistics
// (the record's layout against literal offsets), the lock filter and failures.
#include "os/pace.h"
#include "sandbox.h"
#include "sim_tuner_view.h"
#include "tuner/smslite.h"
#include "tuner/tuner_control.h"
#include "tuner/tuner_lib.h"
#include "world.h"

namespace {

class TunerControlTest : public SandboxTest {
  protected:
    void SetUp() override {
        sim_world_reset();
        tuner_lib_set_path(ORV_SIMTUNER_PATH);
    }
    void TearDown() override {
        tuner_terminate();
        pace_set_tick_ms(1000);
        TunerContext& t = tuner_context;
        t.fd = t.expected_response = -1;
        t.signal = t.first_data = 0;
        t.tune_requested = t.first_tune_done = t.good_count = t.bad_count = t.filtered_lock = 0;
        t.frequency = 0;
    }

    // The tunes that reached the simulated tuner, one "tune <Hz>" a line.
    std::string tunes() const { return sandbox.read("/sim/tuner.log"); }

    static void open_tuner() {
        capture_stdout([] { ASSERT_EQ(tuner_init(), 0); });
    }

    static void start(uint8_t channel) {
        capture_stdout([channel] { EXPECT_EQ(tuner_start(channel), 0); });
    }

    static int status(TunerReading& st) {
        int lock = 0;
        capture_stdout([&] { lock = tuner_get_status(st); });
        return lock;
    }
};

TEST(ChannelTable, FollowsTheBandRulesWithNoEntryOutsideOneTo62) {
    const std::pair<int, uint32_t> table[] = {{1, 93142857},  {3, 105142857},  {4, 173142857},
                                              {8, 195142857}, {62, 767142857}, {-1, 0}};
    for (const auto& [channel, hz] : table)
        EXPECT_EQ(channel_to_frequency(channel), hz) << "channel " << channel;
}

// A library that cannot be loaded, or lacks a function, fails the init; the
// tuner then only reports its invalid descriptor and statistics fail. A payload
// shorter than the record, answered from another thread as a library would,
// fails the request and is never read past; a response nobody awaits is dropped.
TEST_F(TunerControlTest, UnusableLibraryIsTunerInitNgAndShortOrUnawaitedResponses) {
    pace_set_tick_ms(20);
    for (const char* path : {"libm.so.6", "/nonexistent/libsmscontrollite.so"}) {
        tuner_lib_set_path(path);
        capture_stdout([] { EXPECT_EQ(tuner_init(), 1); });
    }
    EXPECT_EQ(sandbox.log_count("<INF> Tuner Init NG\n"), 2);
    capture_stdout([] { EXPECT_EQ(tuner_start(27), -1); });
    TunerReading st{};
    EXPECT_EQ(status(st), -1);
    pace_set_tick_ms(1000); // the events are there, but only the test answers
    std::vector<uint8_t> shorter(SMS_STAT_LAYERS, 7);
    std::thread library([&shorter] {
        while (tuner_context.expected_response != SMS_MSG_STATISTICS_RES)
            std::this_thread::yield();
        tuner_on_control(SMS_MSG_STATISTICS_RES, 0, shorter.data(), uint32_t(shorter.size()));
    });
    uint8_t record[SMS_STATISTICS_SIZE] = {};
    EXPECT_EQ(tuner_get_statistics(record), -1);
    library.join();
    EXPECT_EQ(record[SMS_STAT_SNR], 0);
    const void* kept = tuner_context.payload;
    tuner_on_control(SMS_MSG_STATISTICS_RES, 0, shorter.data(), uint32_t(shorter.size()));
    EXPECT_EQ(tuner_context.payload, kept);
    EXPECT_EQ(OSW_EventWait(&tuner_context.response_event, 0), 1u);
}

// The first start tunes channel 12 first (13 for channel 12), later ones none;
// the library refuses a second init while open: the second case shows the first
// closed. A channel without a table entry keeps the last good frequency, or
// takes the factory channel's when there is none, and says so in the log.
TEST_F(TunerControlTest, FirstStartMakesOnePreliminaryTuneAndChannelsOutsideTheTable) {
    for (const auto& [channel, tuned] : {std::pair{0, "tune 219142857\ntune 557142857\n"},
                                         {12, "tune 473142857\ntune 219142857\n"}}) {
        sandbox.remove("/sim/tuner.log");
        tuner_context.first_tune_done = 0;
        open_tuner();
        start(uint8_t(channel));
        EXPECT_EQ(tunes(), tuned);
        EXPECT_EQ(tuner_context.signal, 1);
    }
    for (const uint8_t channel : {20, 63})
        start(channel);
    EXPECT_EQ(tunes(), "tune 473142857\ntune 219142857\ntune 515142857\ntune 515142857\n");
    EXPECT_EQ(sandbox.log_count("<ERR> Tuner channel 0 out of range, tuning 557142857[Hz]\n"), 1);
    EXPECT_EQ(sandbox.log_count("<ERR> Tuner channel 63 out of range, tuning 515142857[Hz]\n"), 1);
}

TEST(TunerLockFilter, ThreeGoodReadingsLockThreeBadOnesUnlock) {
    const int readings[][3] = {
        {1, 20, 0}, {1, 20, 0}, {0, 20, 0}, // two good then a bad: unchanged
        {1, 20, 0}, {1, 20, 0}, {1, 20, 1}, // the third good in a row
        {1, 0, 1},  {2, 20, 1}, {1, 20, 1}, // lock without SNR is bad; two bad then a good
        {0, 0, 1},  {0, 0, 1},  {0, 0, 0},  // three bad (lock, SNR, filtered lock)
    };
    for (const auto& [lock, snr, filtered] : readings)
        EXPECT_EQ(tuner_lock_filter(lock, snr), filtered);
}

// Right after a tune the lock is 0 and the filter starts again: three good
// readings lock. BER values above 100000 show as 100000 per layer, compared
// unsigned; four layers fail the statistics.
TEST_F(TunerControlTest, StatusAfterATuneThenThroughTheFilterWithBerAndLayerLimits) {
    open_tuner();
    start(27);
    tuner_context.good_count = 2;
    tuner_context.bad_count = 1;
    tuner_context.filtered_lock = 1;
    TunerReading st{};
    EXPECT_EQ(status(st), 0);
    tuner_context.tune_requested = 0;
    for (const char* line : {"snr 17", "level 190", "layers 3", "ber 250000 40"})
        sim_world_apply(line);
    for (const int lock : {0, 0, 1})
        EXPECT_EQ(status(st), lock);
    EXPECT_EQ(std::tuple(st.snr, st.level, st.ber_a, st.ber_b, st.ber),
              std::tuple(17, 190u, 100000u, 40u, 250000u));
    sim_world_apply("ber 12 4000000000");
    status(st);
    EXPECT_EQ(std::tuple(st.ber_a, st.ber_b, st.ber), std::tuple(12u, 100000u, 4000000000u));
    uint8_t r[SMS_STATISTICS_SIZE]; // the record's words where the library puts them
    ASSERT_EQ(tuner_get_statistics(r), 0);
    for (const auto& [at, value] :
         {std::pair{12, 1u}, {20, 17u}, {28, 190u}, {64, 3u}, {84, 12u}, {132, 4000000000u}})
        EXPECT_EQ(r[at] | r[at + 1] << 8 | r[at + 2] << 16 | uint32_t(r[at + 3]) << 24, value)
            << at;
    sim_world_apply("layers 4");
    capture_stdout([&] { EXPECT_EQ(tuner_get_statistics(r), -1); });
}

// The view that the board emulator publishes is what the library sees, before
// the world of the executable that loads it; a short one is none.
TEST_F(TunerControlTest, PublishedViewBeforeTheExecutablesWorld) {
    const SimTunerView published{1, 9, 99, 1, 0, 0, 0, 0};
    const std::string_view record(reinterpret_cast<const char*>(&published), sizeof published);
    open_tuner();
    start(27);
    tuner_context.tune_requested = 0;
    TunerReading st{};
    for (const auto& [text, snr] : {std::pair{record, 9}, {record.substr(1), 28}}) {
        sandbox.write(SIM_TUNER_VIEW_PATH, text);
        status(st);
        EXPECT_EQ(st.snr, snr);
    }
}

// A silent tuner fails the request and drops the expectation; after a late answer
// set the event with no waiter left, the next requests wait for their own.
TEST_F(TunerControlTest, SilentOrLateTunerFailsTheRequestAndLeavesNoSetEvent) {
    open_tuner();
    start(27);
    pace_set_tick_ms(20);
    sim_world_apply("tuner silent");
    TunerReading st{};
    st.level = 77;
    EXPECT_EQ(status(st), -1);
    EXPECT_EQ(st.level, 77u);
    EXPECT_EQ(tuner_tune(557142857), -1);
    EXPECT_EQ(tuner_context.expected_response, -1);
    OSW_EventSet(&tuner_context.response_event); // the late answer, as it can land
    sim_world_apply("tuner normal");
    pace_set_tick_ms(1000); // an answer may take a busy machine more than a short tick
    uint8_t record[SMS_STATISTICS_SIZE];
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tuner_get_statistics(record), 0) << i;
}

} // namespace
