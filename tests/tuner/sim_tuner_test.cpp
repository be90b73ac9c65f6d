// The simulated tuner-control library, loaded with dlopen and driven through
// its five functions with callbacks of the test's own.
#include "tuner_fixture.h"

#include "tuner/smslite.h"

#include <condition_variable>
#include <mutex>

namespace {

struct Message {
    uint32_t id;
    uint32_t result;
    std::vector<uint8_t> payload;
};

// What the library delivered, as the callbacks saw it.
std::mutex delivery_lock;
std::condition_variable arrived;
std::vector<Message> delivered;
int data_blocks = 0;

void on_control(uint32_t id, uint32_t result, void* payload, uint32_t length) {
    const auto* bytes = static_cast<uint8_t*>(payload);
    std::lock_guard hold(delivery_lock);
    delivered.push_back({id, result, std::vector<uint8_t>(bytes, bytes + length)});
    arrived.notify_all();
}

void on_data(uint32_t, uint8_t* data, uint32_t length) {
    EXPECT_TRUE(length > 0 && data[0] == 0x47);
    std::lock_guard hold(delivery_lock);
    ++data_blocks;
    arrived.notify_all();
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
        delivered.clear();
        data_blocks = 0;
        api = tuner_lib_load();
        ASSERT_NE(api, nullptr);
        ASSERT_EQ(api->MsLibInit(&params), 0);
    }

    void TearDown() override {
        api->MsLibTerminate();
        TunerTest::TearDown();
    }

    // The messages once n of them and `blocks` data blocks came, or after 60 s.
    std::vector<Message> wait_for(size_t n, int blocks = 0) {
        std::unique_lock hold(delivery_lock);
        arrived.wait_for(hold, std::chrono::seconds(60),
                         [&] { return delivered.size() >= n && data_blocks >= blocks; });
        EXPECT_GE(data_blocks, blocks);
        return delivered;
    }

    static std::vector<uint32_t> ids(const std::vector<Message>& messages) {
        std::vector<uint32_t> out;
        for (const Message& m : messages)
            out.push_back(m.id);
        return out;
    }
};

// A version request answered, a statistics record carrying the reception, a
// tune answered, then the signal, then data; reception changes while tuned are
// reported unprompted.
TEST_F(SimTunerTest, AnswersRequestsWithTheReceptionAndReportsTheSignal) {
    for (const char* line : {"snr 17", "level 201", "layers 3", "ber 250000 40"})
        sim_world_apply(line);
    api->GetVersion_Req();
    api->MsGetStatistics_Req(); // before a tune: no lock
    api->IsdbtTune_Req(557142857, 8, 0);
    api->MsGetStatistics_Req();
    const auto m = wait_for(5, 3);
    ASSERT_EQ(ids(m), (std::vector<uint32_t>{1000, 1003, 2003, 14010, 1003}));
    EXPECT_FALSE(m[0].payload.empty());
    EXPECT_EQ(word(m[1].payload, 12), 0u);
    EXPECT_EQ(std::pair(m[2].result, m[4].result), std::pair(0u, 0u));
    EXPECT_EQ(tunes(), std::vector<std::string>{"tune 557142857"});
    ASSERT_EQ(m[4].payload.size(), 284u);
    const std::pair<int, uint32_t> words[] = {{12, 1}, {20, 17},     {28, 201},
                                              {64, 3}, {84, 250000}, {132, 40}};
    for (const auto& [offset, value] : words)
        EXPECT_EQ(word(m[4].payload, offset), value) << "offset " << offset;
    sim_world_apply("signal off");
    EXPECT_EQ(ids(wait_for(6)).back(), 14009u);
}

} // namespace
