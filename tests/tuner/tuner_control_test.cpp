// Tuner control against the simulated tuner library: opening, tuning with the
// preliminary tune, statistics, the lock filter, failures and the restart.
#include "tuner_fixture.h"

#include "tot/ntp_server.h"
#include "tot/tot_files.h"
#include "tuner/smslite.h"

#include <atomic>
#include <cstring>
#include <gmock/gmock.h>
#include <thread>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr TotSettings settings_for(uint8_t channel) {
    return {0, 0, channel, 7};
}

class TunerControlTest : public TunerTest {
  protected:
    void open_tuner() {
        capture_stdout([] { ASSERT_EQ(tuner_init(), 0); });
    }

    std::string start(uint8_t channel) {
        return capture_stdout([channel] { EXPECT_EQ(tuner_start(settings_for(channel)), 0); });
    }

    // Opens the tuner, tunes, and lets the tick clear the tune request.
    void tuned_to_27() {
        open_tuner();
        start(27);
        tuner_context.tune_requested = 0;
    }

    int status(TotStatus& st) {
        int lock = 0;
        capture_stdout([&] { lock = tuner_get_status(st); });
        return lock;
    }

    // Events exist but no library answers: a response can only come from the test.
    void open_without_library() {
        tuner_lib_set_path("/nonexistent/libsmscontrollite.so");
        capture_stdout([] { EXPECT_EQ(tuner_init(), 1); });
    }
};

TEST(ChannelTable, FollowsTheBandRules) {
    EXPECT_EQ(channel_to_frequency(1), 93142857u);
    EXPECT_EQ(channel_to_frequency(3), 105142857u);
    EXPECT_EQ(channel_to_frequency(4), 173142857u);
    EXPECT_EQ(channel_to_frequency(8), 195142857u);
    EXPECT_EQ(channel_to_frequency(12), 219142857u);
    EXPECT_EQ(channel_to_frequency(13), 473142857u);
    EXPECT_EQ(channel_to_frequency(27), 557142857u);
    EXPECT_EQ(channel_to_frequency(62), 767142857u);
}

TEST(ChannelTable, HasNoEntryOutsideOneTo62) {
    EXPECT_EQ(channel_to_frequency(0), 0u);
    EXPECT_EQ(channel_to_frequency(63), 0u);
    EXPECT_EQ(channel_to_frequency(-1), 0u);
    EXPECT_EQ(channel_to_frequency(255), 0u);
}

TEST_F(TunerControlTest, InitOpensTheLibraryAndAsksItsVersion) {
    const std::string out = capture_stdout([] { EXPECT_EQ(tuner_init(), 0); });
    EXPECT_THAT(out, Not(HasSubstr("Tuner Init NG")));
    EXPECT_EQ(tuner_context.fd, 0);
    // The version answer stays as the payload copy until the next request.
    EXPECT_EQ(tuner_context.expected_response, -1);
    EXPECT_NE(tuner_context.payload, nullptr);
    EXPECT_GT(tuner_context.payload_length, 0u);
}

TEST_F(TunerControlTest, MissingLibraryIsTunerInitNg) {
    pace_set_tick_ms(20);
    tuner_lib_set_path("/nonexistent/libsmscontrollite.so");
    int result = 0;
    const std::string out = capture_stdout([&] { result = tuner_init(); });
    EXPECT_EQ(result, 1);
    EXPECT_THAT(out, HasSubstr("Tuner Init NG\n"));
    EXPECT_THAT(out, HasSubstr("/nonexistent/libsmscontrollite.so"));
    EXPECT_EQ(tuner_context.fd, -1);
    EXPECT_THAT(sandbox.read("/var/www/StatusLog.txt"), HasSubstr("Tuner Init NG\n"));

    const std::string start_out =
        capture_stdout([] { EXPECT_EQ(tuner_start(settings_for(27)), -1); });
    EXPECT_EQ(start_out, "<debug>Invalid tuner fd, open failed. :-1");
    EXPECT_EQ(tuner_context.tune_requested, 1);
    EXPECT_EQ(tuner_context.first_tune_done, 0);

    TotStatus st{};
    EXPECT_EQ(status(st), -1);
    EXPECT_EQ(tuner_context.expected_response, -1);
}

TEST_F(TunerControlTest, LibraryLackingTheFunctionsIsTunerInitNg) {
    tuner_lib_set_path("libm.so.6");
    int result = 0;
    const std::string out = capture_stdout([&] { result = tuner_init(); });
    EXPECT_EQ(result, 1);
    EXPECT_THAT(out, HasSubstr("SmsLiteMsLibInit"));
    EXPECT_THAT(out, HasSubstr("Tuner Init NG\n"));
}

TEST_F(TunerControlTest, FirstStartTunesChannel12FirstThenTheChannel) {
    open_tuner();
    const std::string out = start(20);
    EXPECT_THAT(out, HasSubstr("515142857[Hz] Tuning start...\n"));
    EXPECT_EQ(tunes(), (std::vector<std::string>{"tune 219142857", "tune 515142857"}));
    EXPECT_EQ(tuner_context.frequency, 515142857u);
    EXPECT_EQ(tuner_context.signal, 1);
    EXPECT_EQ(tuner_context.tune_requested, 1);

    // A setup change tunes again without the preliminary tune.
    start(27);
    EXPECT_EQ(tunes(),
              (std::vector<std::string>{"tune 219142857", "tune 515142857", "tune 557142857"}));
}

TEST_F(TunerControlTest, Channel12TunesChannel13First) {
    open_tuner();
    const std::string out = start(12);
    EXPECT_THAT(out, HasSubstr("219142857[Hz] Tuning start...\n"));
    EXPECT_EQ(tunes(), (std::vector<std::string>{"tune 473142857", "tune 219142857"}));
}

TEST_F(TunerControlTest, StartStopsTheNtpServerAndSetsTheStratum) {
    open_tuner();
    ntp_server.running = 1;
    start(27);
    EXPECT_EQ(ntp_server.running, 0);
    EXPECT_EQ(ntp_server.stratum, 6);
}

TEST_F(TunerControlTest, ChannelOutsideTheTableTunesTheFactoryChannelWhenNoneWasGood) {
    open_tuner();
    const std::string out = start(0);
    EXPECT_THAT(out, HasSubstr("Tuner channel 0 out of range, tuning 557142857[Hz]\n"));
    EXPECT_THAT(out, HasSubstr("557142857[Hz] Tuning start...\n"));
    EXPECT_EQ(tuner_context.frequency, 557142857u);
    EXPECT_EQ(tunes().back(), "tune 557142857");
}

TEST_F(TunerControlTest, ChannelOutsideTheTableKeepsTheLastGoodFrequency) {
    open_tuner();
    start(20);
    const std::string out = start(63);
    EXPECT_THAT(out, HasSubstr("Tuner channel 63 out of range, tuning 515142857[Hz]\n"));
    EXPECT_EQ(tuner_context.frequency, 515142857u);
    EXPECT_EQ(tunes().back(), "tune 515142857");
    EXPECT_THAT(sandbox.read("/var/www/StatusLog.txt"), HasSubstr("Tuner channel 63 out of range"));
}

TEST_F(TunerControlTest, TuneWithoutSignalEndsWithTheSignalFlagDown) {
    open_tuner();
    sim_world_apply("signal off");
    int result = -1;
    capture_stdout([&] { result = tuner_tune(557142857); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(tuner_context.signal, 0);
}

TEST_F(TunerControlTest, TuneRefusedByTheTunerReturnsItsResult) {
    open_tuner();
    EXPECT_EQ(tuner_tune(0), 1);
}

TEST(TunerLockFilter, ThreeGoodReadingsLockThreeBadOnesUnlock) {
    TunerContext& t = tuner_context;
    t.good_count = t.bad_count = t.filtered_lock = 0;
    EXPECT_EQ(tuner_lock_filter(1, 20), 0);
    EXPECT_EQ(tuner_lock_filter(1, 20), 0);
    EXPECT_EQ(tuner_lock_filter(0, 20), 0); // two good then a bad: unchanged
    EXPECT_EQ(tuner_lock_filter(1, 20), 0);
    EXPECT_EQ(tuner_lock_filter(1, 20), 0);
    EXPECT_EQ(tuner_lock_filter(1, 20), 1); // the third good in a row
    EXPECT_EQ(t.good_count, 0);
    EXPECT_EQ(tuner_lock_filter(1, 0), 1); // lock without SNR is bad
    EXPECT_EQ(tuner_lock_filter(2, 20), 1);
    EXPECT_EQ(tuner_lock_filter(1, 20), 1); // two bad then a good: unchanged
    EXPECT_EQ(tuner_lock_filter(0, 0), 1);
    EXPECT_EQ(tuner_lock_filter(0, 0), 1);
    EXPECT_EQ(tuner_lock_filter(0, 0), 0);
    EXPECT_EQ(t.bad_count, 0);
    t.good_count = t.bad_count = t.filtered_lock = 0;
}

TEST_F(TunerControlTest, StatusAfterATuneIsUnlockedAndRestartsTheFilter) {
    open_tuner();
    start(27);
    tuner_context.good_count = 2;
    tuner_context.bad_count = 1;
    tuner_context.filtered_lock = 1;
    TotStatus st{};
    EXPECT_EQ(status(st), 0);
    EXPECT_EQ(st.lock, 0);
    EXPECT_EQ(tuner_context.good_count, 0);
    EXPECT_EQ(tuner_context.filtered_lock, 0);
    EXPECT_EQ(tuner_context.bad_count, 1);
}

TEST_F(TunerControlTest, StatusLocksOnTheThirdGoodReading) {
    tuned_to_27();
    TotStatus st{};
    EXPECT_EQ(status(st), 0);
    EXPECT_EQ(status(st), 0);
    EXPECT_EQ(status(st), 1);
    EXPECT_EQ(st.lock, 1);
    sim_world_apply("snr 0");
    EXPECT_EQ(status(st), 1);
    EXPECT_EQ(status(st), 1);
    EXPECT_EQ(status(st), 0);
}

TEST_F(TunerControlTest, StatusCarriesTheReceptionWithBerLimits) {
    tuned_to_27();
    sim_world_apply("snr 17");
    sim_world_apply("level 190");
    sim_world_apply("ber 250000 40");
    TotStatus st{};
    status(st);
    EXPECT_EQ(st.snr, 17);
    EXPECT_EQ(st.level, 190u);
    EXPECT_EQ(st.ber_a, 100000u);
    EXPECT_EQ(st.ber_b, 40u);
    EXPECT_EQ(st.ber, 250000u);

    sim_world_apply("ber 12 4000000000");
    status(st);
    EXPECT_EQ(st.ber_a, 12u);
    EXPECT_EQ(st.ber_b, 100000u);
    EXPECT_EQ(st.ber, 4000000000u);
}

TEST_F(TunerControlTest, FourLayersPrintFiveLinesAndFail) {
    tuned_to_27();
    sim_world_apply("layers 4");
    uint8_t record[SMS_STATISTICS_SIZE];
    int result = 0;
    const std::string out = capture_stdout([&] { result = tuner_get_statistics(record); });
    EXPECT_EQ(result, -1);
    const std::string line = "@@@@@@@@@@@@@@@@@@@@@@@@@@@ Layer num error 4\n";
    EXPECT_EQ(out, line + line + line + line + line);

    sim_world_apply("layers 3");
    EXPECT_EQ(tuner_get_statistics(record), 0);
}

TEST_F(TunerControlTest, SilentTunerFailsTheRequestAndDropsTheExpectation) {
    tuned_to_27();
    pace_set_tick_ms(20);
    sim_world_apply("tuner silent");
    TotStatus st{};
    st.level = 77;
    EXPECT_EQ(status(st), -1);
    EXPECT_EQ(st.level, 77u);
    EXPECT_EQ(tuner_context.expected_response, -1);
    EXPECT_EQ(tuner_tune(557142857), -1);
    EXPECT_EQ(tuner_context.expected_response, -1);

    sim_world_apply("tuner normal");
    EXPECT_EQ(status(st), 0);
}

// Answers the next statistics request from another thread, as a library would.
int statistics_answered_with(const std::vector<uint8_t>& payload, uint8_t* record) {
    std::thread library([&payload] {
        while (tuner_context.expected_response != SMS_MSG_STATISTICS_RES)
            std::this_thread::yield();
        tuner_on_control(SMS_MSG_STATISTICS_RES, 0, const_cast<uint8_t*>(payload.data()),
                         uint32_t(payload.size()));
    });
    const int result = tuner_get_statistics(record);
    library.join();
    return result;
}

TEST_F(TunerControlTest, ShortStatisticsPayloadIsAFailedRequest) {
    open_without_library();
    std::vector<uint8_t> full(SMS_STATISTICS_SIZE, 0);
    full[SMS_STAT_SNR] = 21;
    uint8_t record[SMS_STATISTICS_SIZE] = {};
    ASSERT_EQ(statistics_answered_with(full, record), 0);
    EXPECT_EQ(record[SMS_STAT_SNR], 21);

    const std::vector<uint8_t> short_payload(SMS_STAT_LAYERS, 0);
    uint8_t untouched[SMS_STATISTICS_SIZE] = {};
    EXPECT_EQ(statistics_answered_with(short_payload, untouched), -1);
    EXPECT_EQ(untouched[SMS_STAT_SNR], 0);
}

TEST_F(TunerControlTest, ResponseNobodyAwaitsIsDropped) {
    open_without_library();
    tuner_context.expected_response = -1;
    const void* kept = tuner_context.payload;
    std::vector<uint8_t> payload(SMS_STATISTICS_SIZE, 1);
    tuner_on_control(SMS_MSG_STATISTICS_RES, 0, payload.data(), uint32_t(payload.size()));
    EXPECT_EQ(tuner_context.payload, kept);
    EXPECT_EQ(OSW_EventWait(&tuner_context.response_event, 0), 1u);
}

TEST_F(TunerControlTest, SecondInitClosesTheLibraryFirst) {
    open_tuner();
    const int threads = thread_count();
    // The simulated library refuses a second init while open: success here
    // means the first was terminated.
    const std::string out = capture_stdout([] { EXPECT_EQ(tuner_init(), 0); });
    EXPECT_THAT(out, Not(HasSubstr("Tuner Init NG")));
    for (int i = 0; i < 100 && thread_count() > threads; ++i)
        OSW_TaskSleep(20);
    EXPECT_LE(thread_count(), threads);
    tuner_context.tune_requested = 0;
    uint8_t record[SMS_STATISTICS_SIZE];
    EXPECT_EQ(tuner_get_statistics(record), 0);
}

TEST_F(TunerControlTest, RestartRunsTheBoardScriptAndTunesAgain) {
    sandbox.write("/var/kelvatro/bin/gpio_restart.sh", "#!/bin/sh\n");
    tot_settings = settings_for(27);
    open_tuner();
    start(27);
    int result = -1;
    const std::string out = capture_stdout([&] { result = tuner_restart(1); });
    EXPECT_EQ(result, 0);
    EXPECT_THAT(out, HasSubstr("Tuner Restart (1)\n"));
    EXPECT_THAT(out, HasSubstr("557142857[Hz] Tuning start...\n"));
    EXPECT_THAT(sandbox.journal(),
                testing::Contains("/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;"));
    // No second preliminary tune after a restart.
    EXPECT_EQ(tunes(),
              (std::vector<std::string>{"tune 219142857", "tune 557142857", "tune 557142857"}));
    EXPECT_EQ(tuner_context.fd, 0);
    EXPECT_EQ(tuner_context.signal, 1);
}

} // namespace
