// The simulated tuner-control library, loaded with dlopen and driven through
// its five functions with callbacks of the test's own.
#include "tuner_fixture.h"

#include "tuner/osw.h"
#include "tuner/smslite.h"

#include <mutex>

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

    // Waits until n messages and at least `blocks` data blocks came; false
    // after 10 s of silence.
    bool wait_for(size_t n, int blocks = 0) {
        for (;;) {
            {
                std::lock_guard hold(delivered.lock);
                if (delivered.messages.size() >= n && delivered.data_blocks >= blocks) return true;
            }
            if (OSW_EventWait(&delivered.arrived, 10000) != 0) return false;
        }
    }

    std::vector<Message> messages() {
        std::lock_guard hold(delivered.lock);
        return delivered.messages;
    }

    std::vector<uint32_t> ids() {
        std::vector<uint32_t> out;
        for (const Message& m : messages())
            out.push_back(m.id);
        return out;
    }
};

TEST_F(SimTunerTest, TuneIsAnsweredThenSignalThenData) {
    api->IsdbtTune_Req(557142857, 8, 0);
    ASSERT_TRUE(wait_for(2, 3));
    EXPECT_EQ(ids(), (std::vector<uint32_t>{2003, 14010}));
    EXPECT_EQ(messages()[0].result, 0u);
    EXPECT_EQ(tunes(), std::vector<std::string>{"tune 557142857"});
    // Reception changes while tuned are reported unprompted.
    sim_world_apply("signal off");
    ASSERT_TRUE(wait_for(3));
    EXPECT_EQ(ids().back(), 14009u);
}

// A version request answered, and a statistics record carrying the reception.
TEST_F(SimTunerTest, AnswersVersionAndStatisticsWithTheReception) {
    for (const char* line : {"snr 17", "level 201", "layers 3", "ber 250000 40"})
        sim_world_apply(line);
    api->GetVersion_Req();
    api->MsGetStatistics_Req(); // before a tune: no lock
    api->IsdbtTune_Req(557142857, 8, 0);
    api->MsGetStatistics_Req();
    ASSERT_TRUE(wait_for(5));
    const auto m = messages();
    ASSERT_EQ(ids(), (std::vector<uint32_t>{1000, 1003, 2003, 14010, 1003}));
    EXPECT_EQ(m[0].result, 0u);
    EXPECT_FALSE(m[0].payload.empty());
    EXPECT_EQ(word(m[1].payload, 12), 0u);
    const Message& stats = m[4];
    EXPECT_EQ(stats.result, 0u);
    ASSERT_EQ(stats.payload.size(), 284u);
    const std::pair<int, uint32_t> words[] = {{12, 1}, {20, 17},     {28, 201},
                                              {64, 3}, {84, 250000}, {132, 40}};
    for (const auto& [offset, value] : words)
        EXPECT_EQ(word(stats.payload, offset), value) << "offset " << offset;
}

TEST_F(SimTunerTest, RefusesWrongBlocksSecondInitAndLateRequests) {
    EXPECT_NE(api->MsLibInit(&params), 0);
    ASSERT_EQ(api->MsLibTerminate(), 0);
    EXPECT_NE(api->GetVersion_Req(), 0);
    EXPECT_NE(api->MsLibTerminate(), 0);
    SmsLiteInitParams wrong = params;
    wrong.size = 32;
    EXPECT_NE(api->MsLibInit(&wrong), 0);
    wrong = params;
    wrong.control_callback = nullptr;
    EXPECT_NE(api->MsLibInit(&wrong), 0);
    ASSERT_EQ(api->MsLibInit(&params), 0);
}

} // namespace
