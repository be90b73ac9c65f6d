// Event timers: a fixed table of 16 entries counted down by a due check once a
// second, firing callbacks once or repeatedly.
#pragma once

#include <cstdint>

using TimerFunc = void (*)(uintptr_t arg1, uintptr_t arg2);

struct TimerCallback {
    TimerFunc func;
    uintptr_t arg1;
    uintptr_t arg2;
};

// Puts all entries on the free list; once, before the first registration.
void timer_table_prepare();
uint32_t add_interval_event(const TimerCallback& callback, uint32_t count, int repeat);
void delete_event(uint32_t id);
// Counts every active entry down by one and runs the callbacks of those due.
void timer_due_check();
// The number of due checks begun, so that a callback can tell whether an earlier
// callback ran in the same check.
uint64_t timer_due_check_count();
// Sets the id counter, so that tests can reach the wrap of the ids.
void timer_id_counter_set(uint32_t value);
