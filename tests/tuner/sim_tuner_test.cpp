// The simulated tuner-control library, loaded with dlopen and driven through
// its five functions with callbacks of the test's own.
#include "tuner_fixture.h"

#include "tuner/osw.h"
#include "tuner/smslite.h"

#include <cstring>
#include <mutex>
#include <thread>

namespace {

struct Message {
    uint32_t id;
    uint32_t result;
    std::vector<uint8_t> payload;
};

// What the library delivered, as the callbacks saw it.
struct Delivered {
    std::mutex lock;
    std::vector<Message> messages;
    int data_blocks = 0;
    OSW_Event arrived;
};
Delivered delivered;

void on_control(uint32_t id, uint32_t result, void* payload, uint32_t length) {
    {
        std::lock_guard hold(delivered.lock);
        const auto* bytes = static_cast<uint8_t*>(payload);
        delivered.messages.push_back({id, result, std::vector<uint8_t>(bytes, bytes + length)});
    }
    OSW_EventSet(&delivered.arrived);
}

void on_data(uint32_t, uint8_t* data, uint32_t length) {
    ASSERT_GT(length, 0u);
    EXPECT_EQ(data[0], 0x47);
    {
        std::lock_guard hold(delivered.lock);
        ++delivered.data_blocks;
    }
    OSW_EventSet(&delivered.arrived);
}

uint32_t word(const std::vector<uint8_t>& record, int offset) {
    return uint32_t(record[offset]) | uint32_t(record[offset + 1]) << 8 |
           uint32_t(record[offset + 2]) << 16 | uint32_t(record[offset + 3]) << 24;
}

class SimTunerTest : public TunerTest {
  protected:
    const SmsLiteApi* api = nullptr;
    SmsLiteInitParams params{20, on_control, on_data, 5, 12000000};

    void SetUp() override {
        TunerTest::SetUp();
        ASSERT_EQ(OSW_EventCreate(&delivered.arrived), 0u);
        delivered.messages.clear();
        delivered.data_blocks = 0;
        api = tuner_lib_load();
        ASSERT_NE(api, nullptr);
        ASSERT_EQ(api->MsLibInit(&params), 0);
    }

    void TearDown() override {
        api->MsLibTerminate();
        OSW_EventDelete(&delivered.arrived);
        TunerTest::TearDown();
    }

    // Waits until `done` holds for what was delivered; false after 10 s of silence.
    template <typename F> bool wait_for(F&& done) {
        for (;;) {
            {
                std::lock_guard hold(delivered.lock);
                if (done()) return true;
            }
            if (OSW_EventWait(&delivered.arrived, 10000) != 0) return false;
        }
    }

    std::vector<uint32_t> ids() {
        std::lock_guard hold(delivered.lock);
        std::vector<uint32_t> out;
        for (const Message& m : delivered.messages)
            out.push_back(m.id);
        return out;
    }

    std::vector<Message> messages() {
        std::lock_guard hold(delivered.lock);
        return delivered.messages;
    }

    Message last() { return messages().back(); }

    bool message_count_is(size_t n) { return delivered.messages.size() >= n; }
};

TEST_F(SimTunerTest, AnswersTheVersionRequest) {
    api->GetVersion_Req();
    ASSERT_TRUE(wait_for([&] { return message_count_is(1); }));
    const Message m = last();
    EXPECT_EQ(m.id, 1000u);
    EXPECT_EQ(m.result, 0u);
    EXPECT_FALSE(m.payload.empty());
}

TEST_F(SimTunerTest, TuneIsAnsweredThenSignalThenData) {
    api->IsdbtTune_Req(557142857, 8, 0);
    ASSERT_TRUE(wait_for([&] { return delivered.data_blocks >= 3; }));
    EXPECT_EQ(ids(), (std::vector<uint32_t>{2003, 14010}));
    EXPECT_EQ(messages()[0].result, 0u);
    EXPECT_EQ(tunes(), std::vector<std::string>{"tune 557142857"});
}

TEST_F(SimTunerTest, TuneWithoutSignalReportsNoSignalAndNoData) {
    sim_world_apply("signal off");
    api->IsdbtTune_Req(557142857, 8, 0);
    ASSERT_TRUE(wait_for([&] { return message_count_is(2); }));
    EXPECT_EQ(ids(), (std::vector<uint32_t>{2003, 14009}));
    std::lock_guard hold(delivered.lock);
    EXPECT_EQ(delivered.data_blocks, 0);
}

TEST_F(SimTunerTest, AFrequencyOffTheBandIsRefused) {
    api->IsdbtTune_Req(0, 8, 0);
    ASSERT_TRUE(wait_for([&] { return message_count_is(1); }));
    EXPECT_EQ(last().id, 2003u);
    EXPECT_NE(last().result, 0u);
}

TEST_F(SimTunerTest, SignalChangesWhileTunedAreReportedUnprompted) {
    api->IsdbtTune_Req(557142857, 8, 0);
    ASSERT_TRUE(wait_for([&] { return message_count_is(2); }));
    sim_world_apply("signal off");
    ASSERT_TRUE(wait_for([&] { return message_count_is(3); }));
    EXPECT_EQ(last().id, 14009u);
    sim_world_apply("signal on");
    ASSERT_TRUE(wait_for([&] { return message_count_is(4); }));
    EXPECT_EQ(last().id, 14010u);
}

TEST_F(SimTunerTest, StatisticsRecordCarriesTheReception) {
    sim_world_apply("snr 17");
    sim_world_apply("level 201");
    sim_world_apply("layers 3");
    sim_world_apply("ber 250000 40");
    api->IsdbtTune_Req(557142857, 8, 0);
    api->MsGetStatistics_Req();
    ASSERT_TRUE(wait_for([&] {
        for (const Message& m : delivered.messages)
            if (m.id == 1003) return true;
        return false;
    }));
    Message stats;
    for (const Message& m : messages())
        if (m.id == 1003) stats = m;
    EXPECT_EQ(stats.result, 0u);
    ASSERT_EQ(stats.payload.size(), 284u);
    EXPECT_EQ(word(stats.payload, 12), 1u);
    EXPECT_EQ(word(stats.payload, 20), 17u);
    EXPECT_EQ(word(stats.payload, 28), 201u);
    EXPECT_EQ(word(stats.payload, 64), 3u);
    EXPECT_EQ(word(stats.payload, 84), 250000u);
    EXPECT_EQ(word(stats.payload, 132), 40u);
}

TEST_F(SimTunerTest, NoLockBeforeATune) {
    api->MsGetStatistics_Req();
    ASSERT_TRUE(wait_for([&] { return message_count_is(1); }));
    EXPECT_EQ(word(last().payload, 12), 0u);
}

TEST_F(SimTunerTest, SilentTunerAnswersNothingUntilNormal) {
    sim_world_apply("tuner silent");
    api->GetVersion_Req();
    api->MsGetStatistics_Req();
    EXPECT_EQ(OSW_EventWait(&delivered.arrived, 500), 1u);
    EXPECT_TRUE(ids().empty());
    sim_world_apply("tuner normal");
    api->GetVersion_Req();
    ASSERT_TRUE(wait_for([&] { return message_count_is(1); }));
    EXPECT_EQ(ids(), std::vector<uint32_t>{1000});
}

TEST_F(SimTunerTest, SecondInitWhileOpenIsRefused) {
    EXPECT_NE(api->MsLibInit(&params), 0);
}

TEST_F(SimTunerTest, RepeatedInitAndTerminateLeavesNoThread) {
    ASSERT_EQ(api->MsLibTerminate(), 0);
    // A worker of the earlier init may still be on its way out here.
    const int before = thread_count();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(api->MsLibInit(&params), 0);
        api->GetVersion_Req();
        ASSERT_EQ(api->MsLibTerminate(), 0);
    }
    // A detached worker may still be on its way out after its last signal.
    for (int i = 0; i < 100 && thread_count() > before; ++i)
        OSW_TaskSleep(20);
    EXPECT_LE(thread_count(), before);
    ASSERT_EQ(api->MsLibInit(&params), 0);
}

TEST_F(SimTunerTest, RequestsAfterTerminateAreRefused) {
    ASSERT_EQ(api->MsLibTerminate(), 0);
    EXPECT_NE(api->GetVersion_Req(), 0);
    EXPECT_NE(api->MsLibTerminate(), 0);
    ASSERT_EQ(api->MsLibInit(&params), 0);
}

TEST_F(SimTunerTest, InitChecksTheBlock) {
    ASSERT_EQ(api->MsLibTerminate(), 0);
    SmsLiteInitParams wrong = params;
    wrong.size = 32;
    EXPECT_NE(api->MsLibInit(&wrong), 0);
    wrong = params;
    wrong.control_callback = nullptr;
    EXPECT_NE(api->MsLibInit(&wrong), 0);
    EXPECT_NE(api->MsLibInit(nullptr), 0);
    ASSERT_EQ(api->MsLibInit(&params), 0);
}

} // namespace
