// The OS wrapper: self-resetting events, the monotonic wait, recursive
// mutexes, detached tasks, files in the sandbox and the exported names.
#include "tuner/osw.h"

#include "sandbox.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct EventTest : ::testing::Test {
    OSW_Event event;
    void SetUp() override { ASSERT_EQ(OSW_EventCreate(&event), 0u); }
    void TearDown() override { EXPECT_EQ(OSW_EventDelete(&event), 0u); }
};

int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sets the event from another thread once the waiter has announced its wait,
// leaving it time to block.
std::thread set_after_wait_begins(OSW_Event& event, std::atomic<bool>& waiting) {
    return std::thread([&event, &waiting] {
        while (!waiting)
            std::this_thread::yield();
        OSW_TaskSleep(200);
        OSW_EventSet(&event);
    });
}

TEST_F(EventTest, SetBeforeWaitReturnsAtOnceAndConsumesTheSignal) {
    EXPECT_EQ(OSW_EventSet(&event), 0u);
    EXPECT_EQ(OSW_EventWait(&event, 60000), 0u);
    EXPECT_EQ(event.signalled, 0u);
    EXPECT_EQ(OSW_EventWait(&event, 0), 1u);
}

TEST_F(EventTest, SeveralSetsCountAsOne) {
    OSW_EventSet(&event);
    OSW_EventSet(&event);
    EXPECT_EQ(OSW_EventWait(&event, 0), 0u);
    EXPECT_EQ(OSW_EventWait(&event, 0), 1u);
}

TEST_F(EventTest, TimeoutZeroOnAClearEventTimesOut) {
    EXPECT_EQ(OSW_EventWait(&event, 0), 1u);
}

TEST_F(EventTest, ClearBetweenSetAndWaitMakesTheWaitTimeOut) {
    OSW_EventSet(&event);
    EXPECT_EQ(OSW_EventClear(&event), 0u);
    EXPECT_EQ(OSW_EventWait(&event, 50), 1u);
}

TEST_F(EventTest, TimedWaitEndsWithASetFromAnotherThread) {
    std::atomic<bool> waiting = false;
    std::thread setter = set_after_wait_begins(event, waiting);
    waiting = true;
    EXPECT_EQ(OSW_EventWait(&event, 60000), 0u);
    setter.join();
    EXPECT_EQ(event.signalled, 0u);
}

TEST_F(EventTest, EndlessWaitPrintsWait1AndReturnsAfterASet) {
    std::atomic<bool> waiting = false;
    std::thread setter = set_after_wait_begins(event, waiting);
    uint32_t result = 99;
    const std::string out = capture_stdout([&] {
        waiting = true;
        result = OSW_EventWait(&event, 0xFFFFFFFF);
    });
    setter.join();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(out, "Wait1 ");
}

TEST_F(EventTest, EndlessWaitOnASetEventPrintsNothing) {
    OSW_EventSet(&event);
    const std::string out =
        capture_stdout([&] { EXPECT_EQ(OSW_EventWait(&event, 0xFFFFFFFF), 0u); });
    EXPECT_EQ(out, "");
}

TEST(OswDeadline, MillisecondsCarryIntoTheSeconds) {
    // 999 ms at a current microsecond value of 999999.
    const timespec late = osw_wait_deadline({100, 999999000}, 999);
    EXPECT_EQ(late.tv_sec, 101);
    EXPECT_EQ(late.tv_nsec, 998999000);
    const timespec whole = osw_wait_deadline({100, 0}, 2500);
    EXPECT_EQ(whole.tv_sec, 102);
    EXPECT_EQ(whole.tv_nsec, 500000000);
    const timespec none = osw_wait_deadline({7, 999999999}, 0);
    EXPECT_EQ(none.tv_sec, 7);
    EXPECT_EQ(none.tv_nsec, 999999999);
}

TEST_F(EventTest, A999MsWaitIsAPlainTimeout) {
    // Without the carry the deadline would be invalid and the wait would
    // report EINVAL instead of a timeout whenever the clock's fraction is high.
    EXPECT_EQ(OSW_EventWait(&event, 999), 1u);
}

// The condition variable runs on the monotonic clock and the deadline is taken
// from the same clock. Were the condition on the wall clock, the monotonic
// deadline would lie decades in the past and the wait would return at once;
// were the deadline taken from the wall clock, the wait would last decades.
// A wait that lasts its timeout on the monotonic clock therefore cannot be
// stretched or cut by a step of the wall clock, which this program makes itself.
TEST_F(EventTest, TimedWaitRunsOnTheMonotonicClock) {
    const int64_t start = monotonic_ms();
    EXPECT_EQ(OSW_EventWait(&event, 300), 1u);
    EXPECT_GE(monotonic_ms() - start, 300);
}

TEST(OswEvent, NullEventIsRefused) {
    EXPECT_EQ(OSW_EventCreate(nullptr), 1u);
    EXPECT_EQ(OSW_EventDelete(nullptr), 1u);
}

TEST(OswMutex, IsRecursive) {
    OSW_Mutex mutex;
    ASSERT_EQ(OSW_MutexCreate(&mutex), 0u);
    EXPECT_EQ(OSW_MutexGet(&mutex), 0u);
    EXPECT_EQ(OSW_MutexGet(&mutex), 0u);
    EXPECT_EQ(OSW_MutexPut(&mutex), 0u);
    EXPECT_EQ(OSW_MutexPut(&mutex), 0u);
    EXPECT_EQ(OSW_MutexDelete(&mutex), 0u);
}

TEST(OswMutexDeathTest, NullMutexStopsTheProcessNamingIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(OSW_MutexGet(nullptr), "mutex");
    EXPECT_DEATH(OSW_MutexCreate(nullptr), "OSW_MutexCreate");
}

struct TaskReport {
    OSW_Event done;
    pthread_t self;
    size_t stack_size;
    int detach_state;
};

void report_task(void* arg) {
    auto* report = static_cast<TaskReport*>(arg);
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &report->stack_size);
    pthread_attr_getdetachstate(&attr, &report->detach_state);
    pthread_attr_destroy(&attr);
    report->self = pthread_self();
    OSW_EventSet(&report->done);
}

TaskReport run_task(uint32_t stack_size) {
    TaskReport report{};
    EXPECT_EQ(OSW_EventCreate(&report.done), 0u);
    const uintptr_t id = OSW_TaskCreate("test", 0, stack_size, report_task, &report);
    EXPECT_NE(id, 0u);
    if (id != 0) {
        EXPECT_EQ(OSW_EventWait(&report.done, 60000), 0u);
        EXPECT_EQ(id, uintptr_t(report.self));
    }
    OSW_EventDelete(&report.done);
    return report;
}

// Sanitizers may add room of their own to a thread's stack, so the sizes are
// compared rather than matched.
TEST(OswTask, RunsDetachedWithTheGivenStackSize) {
    const TaskReport small = run_task(512 * 1024);
    const TaskReport large = run_task(4 * 1024 * 1024);
    EXPECT_EQ(small.detach_state, PTHREAD_CREATE_DETACHED);
    EXPECT_GE(small.stack_size, 512u * 1024);
    EXPECT_GE(large.stack_size, 4u * 1024 * 1024);
    EXPECT_LT(small.stack_size, large.stack_size);
}

TEST(OswTask, NoThreadForAStackBelowTheMinimum) {
    TaskReport report{};
    EXPECT_EQ(OSW_TaskCreate("test", 0, 16, report_task, &report), 0u);
}

TEST(OswTask, CleanupReturnsItsArgument) {
    EXPECT_EQ(OSW_TaskCleanup(42), 42u);
}

TEST_F(SandboxTest, OswFilesLiveInTheSandbox) {
    EXPECT_EQ(OSW_FS_Mkdir("/var/kelvatro/sms"), 0);
    EXPECT_EQ(OSW_FS_Mkdir("/var/kelvatro/sms"), -1);
    void* out = OSW_FS_Open("/var/kelvatro/sms/state.bin", "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(OSW_FS_Write(out, "abc\0def", 7), 7u);
    EXPECT_EQ(OSW_FS_Close(out), 0);
    EXPECT_EQ(sandbox.read("/var/kelvatro/sms/state.bin"), std::string("abc\0def", 7));

    void* in = OSW_FS_Open("/var/kelvatro/sms/state.bin", "rb");
    ASSERT_NE(in, nullptr);
    char buf[16] = {};
    EXPECT_EQ(OSW_FS_Read(in, buf, sizeof buf), 7u);
    EXPECT_EQ(std::string(buf, 7), std::string("abc\0def", 7));
    OSW_FS_Close(in);

    EXPECT_EQ(OSW_FS_Delete("/var/kelvatro/sms/state.bin"), 0);
    EXPECT_FALSE(sandbox.exists("/var/kelvatro/sms/state.bin"));
}

TEST_F(SandboxTest, OswDeleteOfAMissingFileIs2) {
    EXPECT_EQ(OSW_FS_Delete("/var/kelvatro/conf/no-such-file"), 2);
}

TEST_F(SandboxTest, OswOpenOfAMissingFileIsNull) {
    EXPECT_EQ(OSW_FS_Open("/var/kelvatro/conf/no-such-file", "rb"), nullptr);
}

// The library binds to these names in the executable that loads it.
TEST(OswExports, AllTwentyOneStandInTheDynamicSymbolTable) {
    for (const char* name : {"OSW_GetCurTimeStampInMSec",
                             "OSW_MemAlloc",
                             "OSW_MemFree",
                             "OSW_TaskSleep",
                             "OSW_MutexCreate",
                             "OSW_MutexDelete",
                             "OSW_MutexGet",
                             "OSW_MutexPut",
                             "OSW_TaskCreate",
                             "OSW_TaskCleanup",
                             "OSW_EventCreate",
                             "OSW_EventDelete",
                             "OSW_EventSet",
                             "OSW_EventClear",
                             "OSW_EventWait",
                             "OSW_FS_Open",
                             "OSW_FS_Close",
                             "OSW_FS_Write",
                             "OSW_FS_Read",
                             "OSW_FS_Delete",
                             "OSW_FS_Mkdir"})
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
}

} // namespace
