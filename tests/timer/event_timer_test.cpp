// Event timers: ids, the table limit, cancellation, and the order and timing of
// the due check.
#include "sandbox.h"
#include "timer/event_timer.h"

namespace {

constexpr uint32_t kFailed = 0xFFFFFFFF;

std::vector<int> fired;

void record(uintptr_t tag, uintptr_t) {
    fired.push_back(static_cast<int>(tag));
}

uint32_t add(int tag, uint32_t count, int repeat = 0) {
    return add_interval_event(TimerCallback{record, static_cast<uintptr_t>(tag), 0}, count, repeat);
}

// Registers far one-shot timers until the table is full; returns how many.
int fill_table() {
    int registered = 0;
    while (add(0, 1000) != kFailed)
        ++registered;
    return registered;
}

// The due checks (1-based) at which something fired, out of n.
std::vector<int> fired_at(int n) {
    std::vector<int> at;
    for (int check = 1; check <= n; ++check) {
        const size_t before = fired.size();
        timer_due_check();
        if (fired.size() != before) at.push_back(check);
    }
    return at;
}

class EventTimerTest : public SandboxTest {
  protected:
    void SetUp() override {
        fired.clear();
        timer_table_prepare();
        timer_id_counter_set(0);
    }
};

// Ids count up and wrap to zero; the seventeenth registration fails, taking
// no id, until one is cancelled (a second cancel frees nothing).
TEST_F(EventTimerTest, IdsCountUpAndTheTableHoldsSixteen) {
    EXPECT_EQ(add(1, 5), 1u);
    timer_id_counter_set(0x7FFFFFFD);
    EXPECT_EQ(add(3, 5), 0x7FFFFFFEu);
    EXPECT_EQ(add(4, 5), 0u);
    EXPECT_EQ(fill_table(), 13);
    delete_event(3);
    delete_event(3);
    delete_event(12345);
    EXPECT_EQ(add(1, 1), 14u);
    EXPECT_EQ(add(1, 1), kFailed);
}

TEST_F(EventTimerTest, CountNFiresAtTheNthCheckAndRepeatingRearms) {
    add(7, 3);
    const uint32_t cancelled = add(8, 2);
    const uint32_t repeating = add(5, 2, 1);
    timer_due_check();
    delete_event(cancelled);
    EXPECT_EQ(fired_at(6), (std::vector<int>{1, 2, 3, 5}));
    EXPECT_EQ(fired, (std::vector<int>{5, 7, 5, 5}));
    delete_event(repeating);
    EXPECT_TRUE(fired_at(4).empty());
    EXPECT_EQ(fill_table(), 16); // every entry went back to the free list
}

void register_follower(uintptr_t, uintptr_t) {
    fired.push_back(9);
    add(2, 1);
}

// Due together, the oldest registration runs first; a callback may register
// the next timer.
TEST_F(EventTimerTest, DueTogetherRunOldestRegistrationFirst) {
    for (const int tag : {1, 2, 3, 4})
        add(tag, tag == 1 ? 2 : 1);
    add_interval_event(TimerCallback{register_follower, 0, 0}, 2, 0);
    EXPECT_EQ(fired_at(3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(fired, (std::vector<int>{2, 3, 4, 1, 9, 2}));
}

} // namespace
