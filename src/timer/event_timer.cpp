// Event timers: a static table of 16 entries, linked into free, active and
// fired lists, counted down by the due check and handed to their callbacks.
#include "timer/event_timer.h"

#include <array>
#include <cstdio>
#include <mutex>

namespace {

constexpr int kTimerEntries = 16;
constexpr uint16_t kKindInterval = 0x0001;
constexpr uint16_t kKindRepeat = 0x8000;
constexpr uint32_t kLastId = 0x7FFFFFFE;
constexpr uint32_t kNoEntry = 0xFFFFFFFF;

struct TimerEntry {
    uint32_t id;
    TimerFunc func;
    uintptr_t arg1;
    uintptr_t arg2;
    uint32_t remaining;
    uint32_t reload;
    uint16_t kind;
    TimerEntry* prev;
    TimerEntry* next;
};

// A list is its sentinel: an empty list links the sentinel to itself.
struct TimerList {
    TimerEntry sentinel{};
    TimerList() { sentinel.prev = sentinel.next = &sentinel; }
    bool empty() const { return sentinel.next == &sentinel; }
    TimerEntry* first() { return sentinel.next; }
    TimerEntry* end() { return &sentinel; }
};

std::array<TimerEntry, kTimerEntries> timer_table;
TimerList free_list;
TimerList active_list;
TimerList fired_list;
uint32_t id_counter = 0;
uint64_t due_checks = 0;
std::mutex timer_lock;
std::mutex dispatch_lock;

void unlink(TimerEntry* e) {
    e->prev->next = e->next;
    e->next->prev = e->prev;
    e->prev = e->next = nullptr;
}

void push_head(TimerList& list, TimerEntry* e) {
    e->prev = &list.sentinel;
    e->next = list.sentinel.next;
    list.sentinel.next->prev = e;
    list.sentinel.next = e;
}

uint32_t next_id() {
    if (id_counter <= kLastId - 1) return ++id_counter;
    id_counter = 0;
    return 0;
}

void release_entry(TimerEntry* e) {
    e->id = 0;
    e->func = nullptr;
    push_head(free_list, e);
}

// Runs one due entry, taken off the fired list, and puts it back where it
// belongs: active again when it repeats, else free.
void timeup_interval_event(TimerEntry* e) {
    if (e->func == nullptr) {
        std::puts("timeup_interval_event() func is null.");
        std::lock_guard lock(timer_lock);
        release_entry(e);
        return;
    }
    e->func(e->arg1, e->arg2);
    std::lock_guard lock(timer_lock);
    if (e->kind & kKindRepeat) {
        e->remaining = e->reload;
        push_head(active_list, e);
    } else {
        release_entry(e);
    }
}

} // namespace

void timer_table_prepare() {
    std::lock_guard lock(timer_lock);
    for (TimerList* list : {&free_list, &active_list, &fired_list})
        list->sentinel.prev = list->sentinel.next = &list->sentinel;
    // Pushed from the last entry down, so that entry 0 ends up at the head.
    for (int i = kTimerEntries - 1; i >= 0; --i) {
        timer_table[i] = TimerEntry{};
        push_head(free_list, &timer_table[i]);
    }
}

uint32_t add_interval_event(const TimerCallback& callback, uint32_t count, int repeat) {
    std::lock_guard lock(timer_lock);
    if (free_list.empty()) return kNoEntry;
    TimerEntry* e = free_list.first();
    unlink(e);
    e->id = next_id();
    e->func = callback.func;
    e->arg1 = callback.arg1;
    e->arg2 = callback.arg2;
    e->remaining = count;
    e->reload = count;
    e->kind = repeat ? (kKindRepeat | kKindInterval) : kKindInterval;
    push_head(active_list, e);
    return e->id;
}

void delete_event(uint32_t id) {
    std::lock_guard lock(timer_lock);
    for (TimerEntry* e = active_list.first(); e != active_list.end(); e = e->next) {
        if (e->id == id) {
            unlink(e);
            push_head(free_list, e);
            return;
        }
    }
}

void timer_due_check() {
    {
        std::lock_guard lock(timer_lock);
        ++due_checks;
        for (TimerEntry* e = active_list.first(); e != active_list.end();) {
            TimerEntry* next = e->next;
            if (e->kind & kKindInterval) {
                if (e->remaining - 1 != 0) {
                    --e->remaining;
                } else {
                    unlink(e);
                    push_head(fired_list, e);
                }
            }
            e = next;
        }
    }
    std::lock_guard lock(dispatch_lock);
    while (!fired_list.empty()) {
        TimerEntry* e = fired_list.first();
        unlink(e);
        timeup_interval_event(e);
    }
}

uint64_t timer_due_check_count() {
    std::lock_guard lock(timer_lock);
    return due_checks;
}

void timer_id_counter_set(uint32_t value) {
    std::lock_guard lock(timer_lock);
    id_counter = value;
}
