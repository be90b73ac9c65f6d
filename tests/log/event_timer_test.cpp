// Event timers: ids, the table limit, cancellation, and the order and timing of
// the due check.
#include "log/event_timer.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kFailed = 0xFFFFFFFF;

std::vector<int> fired;

void record(uintptr_t arg1, uintptr_t) {
    fired.push_back(static_cast<int>(arg1));
}

TimerCallback recorder(int tag) {
    return TimerCallback{record, static_cast<uintptr_t>(tag), 0};
}

class EventTimerTest : public SandboxTest {
  protected:
    void SetUp() override {
        fired.clear();
        timer_table_prepare();
    }

    // Registers one-shot timers with a far count until the table is full.
    int fill_table() {
        int registered = 0;
        while (add_interval_event(recorder(0), 1000, 0) != kFailed)
            ++registered;
        return registered;
    }

    void checks(int n) {
        for (int i = 0; i < n; ++i)
            timer_due_check();
    }
};

TEST(EventTimerUnprepared, RegistrationFailsAndLeavesTheCounter) {
    Sandbox sandbox;
    EXPECT_EQ(add_interval_event(recorder(1), 1, 0), kFailed);
    timer_table_prepare();
    EXPECT_EQ(add_interval_event(recorder(1), 1, 0), 1u);
}

TEST_F(EventTimerTest, IdsCountUpAndWrapToZero) {
    EXPECT_EQ(add_interval_event(recorder(1), 5, 0), 1u);
    EXPECT_EQ(add_interval_event(recorder(2), 5, 0), 2u);
    timer_id_counter_set(0x7FFFFFFD);
    EXPECT_EQ(add_interval_event(recorder(3), 5, 0), 0x7FFFFFFEu);
    EXPECT_EQ(add_interval_event(recorder(4), 5, 0), 0u);
    EXPECT_EQ(add_interval_event(recorder(5), 5, 0), 1u);
}

TEST_F(EventTimerTest, SeventeenthRegistrationFailsUntilOneIsCancelled) {
    EXPECT_EQ(fill_table(), 16);
    EXPECT_EQ(add_interval_event(recorder(1), 1, 0), kFailed);
    delete_event(3);
    // The failed registration did not take an id.
    EXPECT_EQ(add_interval_event(recorder(1), 1, 0), 17u);
    EXPECT_EQ(add_interval_event(recorder(1), 1, 0), kFailed);
}

TEST_F(EventTimerTest, SecondCancelOfAnIdHasNoEffect) {
    const uint32_t first = add_interval_event(recorder(1), 2, 0);
    add_interval_event(recorder(2), 2, 0);
    delete_event(first);
    delete_event(first);
    delete_event(12345);
    // Exactly one entry came back: fourteen others are left free.
    EXPECT_EQ(fill_table(), 15);
    checks(2);
    EXPECT_EQ(fired, (std::vector<int>{2}));
}

TEST_F(EventTimerTest, CancelledTimerNeverFires) {
    const uint32_t id = add_interval_event(recorder(1), 2, 0);
    timer_due_check();
    delete_event(id);
    checks(5);
    EXPECT_TRUE(fired.empty());
}

TEST_F(EventTimerTest, DueTogetherRunOldestRegistrationFirst) {
    add_interval_event(recorder(1), 2, 0);
    add_interval_event(recorder(2), 1, 0);
    add_interval_event(recorder(3), 1, 0);
    add_interval_event(recorder(4), 1, 0);
    timer_due_check();
    EXPECT_EQ(fired, (std::vector<int>{2, 3, 4}));
    timer_due_check();
    EXPECT_EQ(fired, (std::vector<int>{2, 3, 4, 1}));
}

TEST_F(EventTimerTest, CountNFiresAtTheNthCheckOnce) {
    add_interval_event(recorder(7), 3, 0);
    checks(2);
    EXPECT_TRUE(fired.empty());
    timer_due_check();
    EXPECT_EQ(fired, (std::vector<int>{7}));
    checks(10);
    EXPECT_EQ(fired.size(), 1u);
    // The one-shot entry went back to the free list.
    EXPECT_EQ(fill_table(), 16);
}

TEST_F(EventTimerTest, RepeatingTimerRearmsWithItsCount) {
    const uint32_t id = add_interval_event(recorder(5), 2, 1);
    std::vector<int> fired_at;
    for (int check = 1; check <= 7; ++check) {
        const size_t before = fired.size();
        timer_due_check();
        if (fired.size() != before) fired_at.push_back(check);
    }
    EXPECT_EQ(fired_at, (std::vector<int>{2, 4, 6}));
    delete_event(id);
    checks(4);
    EXPECT_EQ(fired.size(), 3u);
}

void register_follower(uintptr_t, uintptr_t) {
    fired.push_back(1);
    add_interval_event(recorder(2), 1, 0);
}

TEST_F(EventTimerTest, CallbackMayRegisterTheNextTimer) {
    add_interval_event(TimerCallback{register_follower, 0, 0}, 1, 0);
    timer_due_check();
    EXPECT_EQ(fired, (std::vector<int>{1}));
    timer_due_check();
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

TEST_F(EventTimerTest, EntryWithoutCallbackIsReportedAndFreed) {
    add_interval_event(TimerCallback{nullptr, 0, 0}, 1, 1);
    const std::string out = capture_stdout([] { timer_due_check(); });
    EXPECT_EQ(out, "timeup_interval_event() func is null.\n");
    EXPECT_EQ(fill_table(), 16);
}

} // namespace
